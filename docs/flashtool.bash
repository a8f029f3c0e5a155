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

_flashtool()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local command= positionals=0 word i
    COMPREPLY=()
    # The command, and how many of its DEVICE and IMAGE are already there;
    # an option's value is neither ("--expect X" or "--expect=X", which
    # bash splits at the "=").
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -z $command ]]; then
            [[ $word == list || $word == flash ]] && command=$word
        elif [[ $word == --expect || $word == --ready-timeout ]]; then
            ((i++))
            [[ ${COMP_WORDS[i]} == = ]] && ((i++))
        elif [[ $word != -* ]]; then
            ((positionals++))
        fi
    done
    [[ $prev == = ]] && prev=${COMP_WORDS[COMP_CWORD-2]}
    case $prev in
        --expect | --ready-timeout) return 0 ;;
    esac

    case $command in
        '')
            mapfile -t COMPREPLY < <(compgen -W 'list flash -h --help --version' -- "$cur")
            ;;
        list)
            mapfile -t COMPREPLY < <(compgen -W '--json -h --help' -- "$cur")
            ;;
        flash)
            if [[ $cur == -* ]]; then
                mapfile -t COMPREPLY < <(compgen -W '--yes --expect --ready-timeout -h --help' -- "$cur")
            elif ((positionals == 0)); then
                mapfile -t COMPREPLY < <(compgen -W "$(_flashtool_devices)" -- "$cur")
            elif ((positionals == 1)); then
                # Images are .bin files, named in capitals too when they
                # come from a Windows download; folders lead to them.
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -f -X '!*.[bB][iI][nN]' -- "$cur"; compgen -d -- "$cur")
            fi
            ;;
    esac
}
complete -F _flashtool flashtool
