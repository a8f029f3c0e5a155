#include "run/flash_run.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "discovery/comeback.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int CodeOf(Ending ending) {
  switch (ending) {
    case Ending::FLASHED:
    case Ending::CHECKED: return EXIT_FLASHED;
    case Ending::SAME_DRIVE: return EXIT_BAD_INPUT;
    case Ending::NOT_CONNECTED:
    case Ending::NOT_CD_DVD:
    case Ending::WRONG_MODEL:
    case Ending::MIXED_MODELS:
    case Ending::OTHERS_FAILING:
    case Ending::NOT_CONFIRMED: return EXIT_REFUSED;
    case Ending::NO_IDENTITY:
    case Ending::POLLING_ON: return EXIT_NO_DEVICE;
    case Ending::NOT_PREPARED:
    case Ending::BLOCK_REFUSED: return EXIT_NOTHING_WRITTEN;
    case Ending::BLOCK_FAILED:
    case Ending::WRONG_REVISION: return EXIT_FLASH_FAILED;
    case Ending::INTERRUPTED_AFTER:
    case Ending::INTERRUPTED_WAITING:
    case Ending::UNTOLD:
    case Ending::NO_ANSWER:
    case Ending::SILENT_AFTER: return EXIT_UNCONFIRMED;
    case Ending::OPEN_FAILED:
    case Ending::INTERRUPTED_BEFORE: break;  // by the failure, by the signal
  }
  return EXIT_NO_DEVICE;
}

bool SameDrive(const DriveIdentity &a, const std::string &serialA, const DriveIdentity &b,
               const std::string &serialB) {
  return strcmp(a.vendor, b.vendor) == 0 && strcmp(a.product, b.product) == 0 && serialA == serialB;
}

// One drive of the run, with what it holds of the system while it runs.
struct Job {
  DriveRun run;
  std::unique_ptr<OpenedDrive> drive;
  int ticket = -1;  // in the run's Comeback
  bool ended = false;
  Clock::time_point began = Clock::now();  // the drive's part of the run
  Clock::time_point lastBlock;
};

// The look at the system's drives (sysfs only: nothing is sent to a drive)
// from just before the first block to the end of the run, at least once a
// second, so that a node that appears is placed before or after the
// flashed drive's node left. The same thread tells the observer that an
// interrupt is held and that a block is still outstanding, also while a
// command hangs.
class Watch {
 public:
  Watch(FlashSystem &system, RunObserver &observer, std::vector<Job> &jobs)
      : system_(system), observer_(observer), jobs_(jobs), comeback_(system.Present()), beats_(jobs.size()) {
    thread_ = std::thread([this] { Loop(); });
  }
  ~Watch() { Stop(); }
  void Stop() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  Comeback &comeback() { return comeback_; }
  // A drive's blocks go on (a block answered) or end.
  void Beat(size_t index, bool outstanding) {
    std::lock_guard<std::mutex> hold(lock_);
    beats_[index] = {Clock::now(), outstanding};
  }

 private:
  struct Beat_ {
    Clock::time_point at;
    bool outstanding = false;
  };
  void Loop() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_) {
      hold.unlock();
      comeback_.Look(system_.Present());
      int held = system_.Waiting() ? (system_.Requested() != 0 ? system_.Requested() : system_.Held()) : 0;
      if (held != 0 && !toldHeld_) {
        toldHeld_ = true;
        observer_.InterruptHeld(held);
      }
      hold.lock();
      for (size_t i = 0; i < beats_.size(); ++i)
        if (beats_[i].outstanding && Clock::now() - beats_[i].at >= std::chrono::seconds(1))
          observer_.StillWaiting(jobs_[i].run, SecondsSince(beats_[i].at));
      changed_.wait_for(hold, std::chrono::milliseconds(500), [this] { return stop_; });
    }
  }
  FlashSystem &system_;
  RunObserver &observer_;
  std::vector<Job> &jobs_;
  Comeback comeback_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Beat_> beats_;  // by drive, as the run orders them
  bool stop_ = false, toldHeld_ = false;
  std::thread thread_;
};

class Run {
 public:
  Run(FlashSystem &system, const RunOptions &options, const LoadedImage &image, RunObserver &observer)
      : system_(system), options_(options), image_(image), observer_(observer) {}

  std::vector<DriveRun> Go(const RunRecord &start) {
    jobs_.resize(options_.devices.size());
    for (size_t i = 0; i < jobs_.size(); ++i) {
      DriveRun &r = jobs_[i].run;
      DriveName name = system_.Name(options_.devices[i]);
      r.index = i;
      r.named = options_.devices[i];
      r.device = name.shown;
      r.key = name.key;
      r.record = start;
      r.record.device = name.shown;
    }
    if (EachDriveOnce()) {
      for (Job &job : jobs_) Prepare(job);
      if (jobs_.size() > 1) AllOrNone();
      FlashThoseLeft();
    }
    std::vector<DriveRun> runs;
    for (Job &job : jobs_) runs.push_back(job.run);
    return runs;
  }

 private:
  // Two names of one drive (its sr and sg node, a link) would flash it twice.
  bool EachDriveOnce() {
    std::map<std::string, const Job *> seen;
    for (const Job &job : jobs_) {
      if (job.run.key.empty()) continue;
      auto first = seen.emplace(job.run.key, &job);
      if (first.second) continue;
      for (Job &each : jobs_) {
        each.run.other = first.first->second->run.named;
        each.run.detail = job.run.named;
        End(each, Ending::SAME_DRIVE);
      }
      return false;
    }
    return true;
  }

  void Enter(Job &job, Phase phase) {
    job.run.phase = phase;
    observer_.PhaseBegins(job.run);
  }

  // Every drive's run ends here, once: what it holds, and what it still
  // held of the system, let go.
  void End(Job &job, Ending ending) {
    if (job.ended) return;
    job.ended = true;
    DriveRun &r = job.run;
    r.ending = ending;
    r.code = CodeOf(ending);
    if (ending == Ending::OPEN_FAILED) r.code = OpenFailureCode(r.openFailure);
    if (ending == Ending::INTERRUPTED_BEFORE) r.code = EXIT_INTERRUPTED + r.signal;
    if (job.drive != nullptr) {
      r.pollingLeftOff = job.drive->PollingIsOff();
      job.drive.reset();
    }
    r.phase = Phase::DONE;
    r.record.seconds = SecondsSince(job.began);
    r.record.ended = UtcNow();
    r.record.exitCode = r.code;
    r.record.outcome = OutcomeWord(r.code, options_.dryRun);
    // A drive in another's hands is there all the same.
    if (ending == Ending::OPEN_FAILED && (r.openFailure == OPEN_BUSY || r.openFailure == OPEN_MOUNTED))
      r.record.outcome = "busy";
    observer_.Ended(r);
  }

  // Opened, claimed, asked and checked: false when the drive's run ended there.
  bool Prepare(Job &job) {
    DriveRun &r = job.run;
    Enter(job, Phase::OPEN);
    job.drive = system_.Open(r.named, &r.openFailure, &r.detail);
    if (job.drive == nullptr) {
      End(job, Ending::OPEN_FAILED);
      return false;
    }
    r.address = r.record.address = job.drive->Address();
    job.drive->Link().SetTap(observer_.Tap(r));
    Enter(job, Phase::ASK);
    r.failure = AskIdentity(job.drive->Link(), &r.identity, &r.serial);
    if (!r.failure.Succeeded()) {
      // A signal that came while the drive was asked ended the question.
      r.signal = Signal();
      End(job, Interrupted() ? Ending::INTERRUPTED_BEFORE : Ending::NO_IDENTITY);
      return false;
    }
    r.record.before = {true, r.identity, r.serial};
    observer_.Asked(r);
    Enter(job, Phase::CHECK);
    if (!IsCdDvdDrive(r.identity)) {
      End(job, r.identity.deviceType == CD_DVD_DEVICE_TYPE ? Ending::NOT_CONNECTED : Ending::NOT_CD_DVD);
      return false;
    }
    if (!options_.expect.empty() && !IsExpectedDrive(r.identity, options_.expect)) {
      End(job, Ending::WRONG_MODEL);
      return false;
    }
    std::string polling = job.drive->PollingProblem();
    if (!polling.empty() && !options_.allowPolling) {
      r.detail = polling;
      End(job, Ending::POLLING_ON);
      return false;
    }
    if (!polling.empty()) observer_.Caution(&r, RunObserver::POLLING_STAYS_ON, polling);
    return true;
  }

  // One image fits one model: drives of a run without --expect must all be
  // of the model most of them are; and without --skip-failing, one drive
  // that cannot be flashed keeps every drive as it is.
  void AllOrNone() {
    auto model = [](const Job &job) {
      return std::string(job.run.identity.vendor) + " " + job.run.identity.product;
    };
    std::map<std::string, int> models;
    int failing = 0;
    for (const Job &job : jobs_) {
      if (!job.ended) ++models[model(job)];
      else ++failing;
    }
    if (options_.expect.empty() && models.size() > 1) {
      std::string most = models.begin()->first;
      for (const auto &m : models)
        if (m.second > models[most]) most = m.first;
      std::string odd;
      for (const Job &job : jobs_)
        if (!job.ended && model(job) != most)
          odd += (odd.empty() ? "" : ", ") + job.run.device + " is \"" + model(job) + "\"";
      for (Job &job : jobs_) {
        job.run.detail = odd;
        job.run.other = most;
        End(job, Ending::MIXED_MODELS);
      }
      return;
    }
    if (failing > 0 && !options_.skipFailing)
      for (Job &job : jobs_) {
        job.run.detail = std::to_string(failing) + " of " + std::to_string(jobs_.size());
        End(job, Ending::OTHERS_FAILING);
      }
  }

  void FlashThoseLeft() {
    std::vector<Job *> left;
    for (Job &job : jobs_)
      if (!job.ended) left.push_back(&job);
    if (left.empty()) return;
    if (Interrupted()) {
      for (Job *job : left) {
        job->run.signal = Signal();
        End(*job, Ending::INTERRUPTED_BEFORE);
      }
      return;
    }
    if (!options_.dryRun) {
      std::vector<const DriveRun *> asked;
      for (Job *job : left) asked.push_back(&job->run);
      if (!observer_.Confirm(asked)) {
        int signal = system_.Requested();
        for (Job *job : left) {
          job->run.signal = signal;
          End(*job, signal != 0 ? Ending::INTERRUPTED_BEFORE : Ending::NOT_CONFIRMED);
        }
        return;
      }
      // From here to the end of the last drive's run nothing may cut a
      // block short, and the system must not sleep.
      system_.Hold();
      std::string awake = system_.KeepAwake(true);
      if (!awake.empty()) observer_.Caution(nullptr, RunObserver::MAY_SLEEP, awake);
      observer_.BlocksBegin(left.size());
    }
    {
      // What is there just before the first block, and every look from
      // then on, tells a drive that comes back after its flash from one
      // that came in meanwhile.
      Watch watch(system_, observer_, jobs_);
      watch_ = &watch;
      if (left.size() == 1) {
        FlashDrive(*left[0]);
      } else {
        std::vector<std::thread> workers;
        for (Job *job : left) workers.emplace_back([this, job] { FlashDrive(*job); });
        for (std::thread &worker : workers) worker.join();
      }
      watch.Stop();
      watch_ = nullptr;
    }
    if (!options_.dryRun) {
      system_.KeepAwake(false);
      system_.Release();
    }
  }

  // An interrupt that came and waits, or came and was handled.
  bool Interrupted() { return system_.Requested() != 0 || system_.Waiting(); }
  int Signal() { return system_.Requested() != 0 ? system_.Requested() : system_.Held(); }

  // Tells the sequence what happens, and stops it cleanly before the first
  // block when an interrupt came.
  class Sequence : public FlashObserver {
   public:
    Sequence(Run &run, Job &job) : run_(run), job_(job) {}
    void Log(std::initializer_list<const char *>) override {}
    void Progress(int sent, int blocks) override {
      Clock::time_point now = Clock::now();
      job_.run.record.blockFacts.push_back(
          {0, std::chrono::duration<double, std::milli>(now - job_.lastBlock).count(), "ok"});
      job_.lastBlock = now;
      job_.run.blocksSent = sent;
      job_.run.blocks = blocks;
      job_.run.blocksSeconds = std::chrono::duration<double>(now - first_).count();
      run_.watch_->Beat(job_.run.index, sent < blocks);
      run_.observer_.Block(job_.run, job_.run.blocksSeconds);
    }
    bool StopBeforeFirstBlock() override {
      if (run_.options_.dryRun || run_.Interrupted()) return true;
      std::string polling = job_.drive->PollingOff();
      if (!polling.empty()) run_.observer_.Caution(&job_.run, RunObserver::POLLING_STAYS_ON, polling);
      run_.Enter(job_, Phase::BLOCKS);
      job_.lastBlock = first_ = Clock::now();
      run_.watch_->Beat(job_.run.index, true);
      return false;
    }

   private:
    Run &run_;
    Job &job_;
    Clock::time_point first_;
  };

  void FlashDrive(Job &job) {
    DriveRun &r = job.run;
    if (jobs_.size() > 1) job.began = Clock::now();
    r.blocks = image_.plan.lastIndex + 1;
    r.record.blockFacts.reserve((size_t)r.blocks + 1);
    job.ticket = watch_->comeback().Follow(r.key, system_.PortOf(r.key), r.identity.vendor,
                                           r.identity.product, r.serial);
    Sequence sequence(*this, job);
    FlashReport report = RunFlashSequence(job.drive->Link(), image_.blocks, image_.plan, sequence,
                                          LAST_BLOCK_TIMEOUT_S);
    watch_->Beat(r.index, false);
    for (size_t i = 0; i < r.record.blockFacts.size() && i < (size_t)report.blocksSent; ++i)
      r.record.blockFacts[i].index = BlockIndex(image_.plan, (int32_t)i);
    r.blocksSent = report.blocksSent;
    r.failure = report.failure;
    switch (report.outcome) {
      case FLASH_SUCCEEDED: break;
      case FLASH_STOPPED:
        if (options_.dryRun) return End(job, Ending::CHECKED);
        r.signal = Signal();
        return End(job, Ending::INTERRUPTED_BEFORE);
      case FLASH_NOT_PREPARED:
        // A signal that came while the drive was asked ended the question.
        if (Interrupted()) {
          r.signal = Signal();
          return End(job, Ending::INTERRUPTED_BEFORE);
        }
        return End(job, Ending::NOT_PREPARED);
      case FLASH_REFUSED: return End(job, Ending::NOT_PREPARED);
      case FLASH_BLOCK_FAILED: return BlockFailed(job, report);
    }
    if (Interrupted()) {
      r.holds = Holds::MAY_BE_WRITING;
      r.signal = Signal();
      return End(job, Ending::INTERRUPTED_AFTER);
    }
    r.holds = Holds::MAY_BE_WRITING;
    AfterLastBlock(job);
  }

  // Only a drive that refused block 00 with its own status surely holds
  // what it held; a block that got no answer may have reached it.
  void BlockFailed(Job &job, const FlashReport &report) {
    DriveRun &r = job.run;
    r.failedIndex = report.failedIndex;
    r.record.blockFacts.push_back({report.failedIndex, SecondsSince(job.lastBlock) * 1000, ""});
    bool answered = report.failure.kind == CommandResult::DONE;
    bool last = report.failedIndex == LAST_BLOCK_INDEX;
    // The drive's own answer means it is not writing: what the run kept
    // off comes back. Without one it may be, and the polling stays off.
    if (answered && job.drive != nullptr) job.drive->PollingBack();
    if (answered && report.blocksSent == 0) {
      r.holds = Holds::AS_IT_WAS;
      return End(job, Ending::BLOCK_REFUSED);
    }
    r.holds = last && !answered ? Holds::MAY_BE_WRITING : Holds::PART_OF_IMAGE;
    End(job, Ending::BLOCK_FAILED);
  }

  // Sleeps until `until`, telling the observer every second; false when an
  // interrupt came.
  bool Pause(Job &job, Clock::time_point until, Clock::time_point since) {
    Clock::time_point told = Clock::now();
    for (;;) {
      if (Interrupted()) return false;
      Clock::time_point now = Clock::now();
      if (now >= until) return true;
      if (now - told >= std::chrono::seconds(1)) {
        told = now;
        observer_.StillWaiting(job.run, SecondsSince(since));
      }
      std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(200), until - now));
    }
  }

  // After the last block the drive may erase and program its flash before
  // it answers again, or leave its bus to restart: nothing is sent to it
  // for the quiet period, then TEST UNIT READY, with a time-out long
  // enough that the kernel never resets the drive for it, at most one a
  // second, until it answers (a drive without a disc answers NOT READY,
  // MEDIUM NOT PRESENT) or the time is up. The time is kept by leaving a
  // question still pending to the system, never by a shorter time-out.
  void AfterLastBlock(Job &job) {
    DriveRun &r = job.run;
    Clock::time_point lastBlock = Clock::now();
    Enter(job, Phase::QUIET);
    Clock::time_point settled = lastBlock + std::chrono::seconds(options_.settleSeconds);
    auto waited = [&] { r.waitedSeconds = SecondsSince(lastBlock); };
    if (!Pause(job, settled, lastBlock)) {
      waited();
      r.signal = Signal();
      return End(job, Ending::INTERRUPTED_WAITING);
    }
    Enter(job, Phase::WAIT);
    Clock::time_point until = settled + std::chrono::seconds(options_.readySeconds);
    bool untold = false;
    for (;;) {
      Clock::time_point asked = Clock::now();
      if (job.drive == nullptr) LookForDrive(job, &untold);
      if (job.drive != nullptr) {
        job.drive->Link().WaitNoLongerThan(until);
        CommandResult result = job.drive->Link().Run(TestUnitReadyCommand(AFTER_FLASH_TIMEOUT_S));
        job.drive->Link().WaitNoLongerThan(Clock::time_point());
        if (DriveAnswersReady(result)) break;
        r.lastAnswer = result;
        r.lastAnswerKnown = true;
        if (job.drive->Gone(result)) {
          job.drive.reset();  // what it kept off stays noted for its address
          watch_->comeback().Left(job.ticket);
        }
      }
      observer_.StillWaiting(r, SecondsSince(lastBlock));
      if (Clock::now() >= until) {
        waited();
        return End(job, untold ? Ending::UNTOLD : Ending::NO_ANSWER);
      }
      if (!Pause(job, asked + std::chrono::seconds(1), lastBlock)) {
        waited();
        r.signal = Signal();
        return End(job, Ending::INTERRUPTED_WAITING);
      }
    }
    waited();
    // It answered: it is no longer programming its flash.
    job.drive->PollingBack();
    Revision(job);
  }

  // The drive that left its node after the flash, looked for among the
  // nodes that appeared since: the one that says it is this drive, and that
  // could be no other drive of the run. A candidate is asked without being
  // taken, so that another flashtool never finds it busy for that, and one
  // that another flash holds is not asked; only the drive found is opened
  // for the rest of the run.
  void LookForDrive(Job &job, bool *untold) {
    DriveRun &r = job.run;
    Comeback &comeback = watch_->comeback();
    std::vector<SeenDrive> matches;
    for (const SeenDrive &candidate : comeback.Candidates(job.ticket)) {
      DriveIdentity identity;
      std::string serial;
      if (!system_.AskPresent(candidate, &identity, &serial) || !SameDrive(identity, serial, r.identity, r.serial))
        continue;
      if (comeback.Shared(job.ticket, candidate, serial)) *untold = true;
      else matches.push_back(candidate);
    }
    if (matches.size() > 1) *untold = true;
    if (matches.size() != 1 || *untold) return;
    OpenFailure failure;
    std::string why;
    job.drive = system_.Open(matches[0].node, &failure, &why);
    if (job.drive == nullptr) return;  // gone again, or another flash took it: asked again next time
    job.drive->Link().SetTap(observer_.Tap(r));
    comeback.Found(job.ticket, matches[0].key);
    if (matches[0].node != r.device) {
      r.backAs = matches[0].node;
      observer_.CameBack(r);
    }
    r.device = matches[0].node;
  }

  // What the drive says after it answered again, against what it said
  // before and what --expect-revision names.
  void Revision(Job &job) {
    DriveRun &r = job.run;
    Enter(job, Phase::REVISION);
    DriveIdentity after;
    std::string serial;
    r.failure = AskIdentity(job.drive->Link(), &after, &serial, AFTER_FLASH_TIMEOUT_S);
    if (!r.failure.Succeeded()) return End(job, Ending::SILENT_AFTER);
    r.record.after = {true, after, serial};
    r.record.afterDevice = r.device;
    observer_.AnsweredAfter(r);
    if (!options_.expectRevision.empty() && after.revision != options_.expectRevision) {
      r.holds = Holds::NEW_FIRMWARE;
      return End(job, Ending::WRONG_REVISION);
    }
    if (strcmp(after.revision, r.identity.revision) == 0)
      observer_.Caution(&r, RunObserver::SAME_REVISION, after.revision);
    r.holds = Holds::NEW_FIRMWARE;
    End(job, Ending::FLASHED);
  }

  FlashSystem &system_;
  const RunOptions &options_;
  const LoadedImage &image_;
  RunObserver &observer_;
  std::vector<Job> jobs_;
  Watch *watch_ = nullptr;
};

}  // namespace

std::vector<DriveRun> RunFlash(FlashSystem &system, const RunOptions &options, const LoadedImage &image,
                               const RunRecord &start, RunObserver &observer) {
  return Run(system, options, image, observer).Go(start);
}

int RunCode(const std::vector<DriveRun> &drives) {
  static const int order[] = {EXIT_FLASH_FAILED, EXIT_UNCONFIRMED, EXIT_NOTHING_WRITTEN, -1,
                              EXIT_NO_DEVICE, EXIT_REFUSED, EXIT_BAD_INPUT};
  for (int code : order)
    for (const DriveRun &drive : drives)
      if (code == -1 ? drive.code >= EXIT_INTERRUPTED : drive.code == code) return drive.code;
  return EXIT_FLASHED;
}

int OpenFailureCode(OpenFailure failure) {
  return failure == OPEN_NOT_A_DEVICE ? EXIT_BAD_INPUT : failure == OPEN_NOT_OPTICAL ? EXIT_REFUSED : EXIT_NO_DEVICE;
}

const char *OutcomeWord(int code, bool dryRun) {
  switch (code) {
    case EXIT_FLASHED: return dryRun ? "checked" : "flashed";
    case EXIT_FLASH_FAILED: return "failed";
    case EXIT_BAD_INPUT: return "bad input";
    case EXIT_REFUSED: return "refused";
    case EXIT_NO_DEVICE: return "no device";
    case EXIT_UNCONFIRMED: return "flashed, not confirmed";
    case EXIT_NOTHING_WRITTEN: return "failed, nothing written";
    default: return "interrupted";
  }
}
