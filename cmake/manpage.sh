#!/bin/sh
# The manual page from its scdoc source: scdoc < $1 > $2. scdoc switches
# hyphenation off before .TH, which switches it back on; an option split at
# a line's end ("--ex- pect") cannot be pasted, so it goes off again after.
set -e
scdoc <"$1" | awk '{ print } /^\.TH / { print ".nh" }' >"$2"
