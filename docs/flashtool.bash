# bash completion for flashtool(1)

# The nodes of the CD/DVD drives that exist: every /dev/sr*, and those
# /dev/sg* whose SCSI device is of type 5; the sg nodes of disks, tapes or
# enclosures are left out, since flashing one is refused anyway.
_flashtool_devices()
{
    local node type
    for node in /dev/sr[0-9]*; do
        [[ -b $node ]] && printf '%s\n' "$node"
    done
    for node in /dev/sg[0-9]*; do
        [[ -c $node ]] || continue
        type=
        read -r type 2>/dev/null <"/sys/class/scsi_generic/${node#/dev/}/device/type"
        [[ $type == 5 ]] && printf '%s\n' "$node"
    done
}

# Image files: any file, since makers ship images as .bin, .hex, .rom, .fw
# or with no extension at all; those that look like images first (bash 4.4
# and later keep this order), in capitals too when they come from a Windows
# download, then folders and every other file.
# A folder ends in "/", so that its files come next. Runs in a subshell:
# the caller sets the completion's options (_flashtool_as_files).
_flashtool_images()
{
    local file
    compgen -f -- "$1" | while IFS= read -r file; do
        case ${file,,} in *.bin | *.hex | *.rom | *.fw | *.img) [[ -d $file ]] || printf '%s\n' "$file" ;; esac
    done
    compgen -d -S / -- "$1"
    compgen -f -- "$1" | while IFS= read -r file; do
        case ${file,,} in *.bin | *.hex | *.rom | *.fw | *.img) ;; *) [[ -d $file ]] || printf '%s\n' "$file" ;; esac
    done
}

# File names as such (quoted where they need it), in the order given, and
# no blank after a folder.
_flashtool_as_files()
{
    compopt -o filenames -o nosort 2>/dev/null
    [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == */ ]] && compopt -o nospace 2>/dev/null
    return 0
}

_flashtool()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local command= positionals=0 all= word i
    COMPREPLY=()
    # The command, and how many DEVICE and IMAGE words are already there;
    # an option's value is neither ("--log X" or "--log=X", which bash
    # splits at the "=").
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -z $command ]]; then
            [[ $word == @(list|info|check|flash) ]] && command=$word
        elif [[ $word == @(--expect|--expect-revision|--sha256|--settle|--ready-timeout|--log) ]]; then
            ((i++))
            [[ ${COMP_WORDS[i]} == = ]] && ((i++))
        elif [[ $word == --all ]]; then
            all=1
        elif [[ $word != -* ]]; then
            ((positionals++))
        fi
    done
    [[ $prev == = ]] && prev=${COMP_WORDS[COMP_CWORD-2]}
    if [[ -n $command ]]; then
        case $prev in
            --expect | --expect-revision | --sha256 | --settle | --ready-timeout) return 0 ;;
            --log)
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
                return 0
                ;;
        esac
    fi

    local options
    case $command in
        '') options='list info check flash -h --help -V --version' ;;
        list) options='--json --header -h --help' ;;
        info) options='--json -h --help' ;;
        check) options='--sha256 --json -h --help' ;;
        flash) options='-y --yes --expect --expect-revision --sha256 --settle --ready-timeout --allow-polling --any-image --all --skip-failing --dry-run --json -v --verbose --log -h --help' ;;
    esac
    if [[ -z $command || $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return 0
    fi
    case $command in
        info)
            ((positionals == 0)) && mapfile -t COMPREPLY < <(compgen -W "$(_flashtool_devices)" -- "$cur")
            ;;
        check)
            ((positionals == 0)) && mapfile -t COMPREPLY < <(_flashtool_images "$cur") && _flashtool_as_files
            ;;
        flash)
            # DEVICE... IMAGE: after the first drive another drive or the
            # image may follow; with --all only the image.
            if [[ -n $all ]]; then
                ((positionals == 0)) && mapfile -t COMPREPLY < <(_flashtool_images "$cur") && _flashtool_as_files
            elif ((positionals == 0)); then
                mapfile -t COMPREPLY < <(compgen -W "$(_flashtool_devices)" -- "$cur")
            else
                # Images first: the last word is the image.
                mapfile -t COMPREPLY < <(_flashtool_images "$cur"; compgen -W "$(_flashtool_devices)" -- "$cur")
                _flashtool_as_files
            fi
            ;;
    esac
}
complete -F _flashtool flashtool
