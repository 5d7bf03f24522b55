# SPDX-License-Identifier: MIT
# bash completion for tessarind-client: its commands, each command's
# options, and file names where a path goes.

_tessarind_client()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --timeout) ((i++)) ;;
            ping | stop | decrypt | encrypt | keygen)
                command=${COMP_WORDS[i]}
                break
                ;;
        esac
    done
    case $prev in
        -o | --output | --key-file)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --timeout)
            COMPREPLY=()
            return
            ;;
    esac
    local options words
    case $command in
        "")
            options="--timeout --help --version"
            words="ping stop decrypt encrypt keygen"
            ;;
        decrypt) options="--first-load --progress -o --key-file --timeout" ;;
        encrypt) options="-o --key-file --timeout" ;;
        keygen) options="-o --timeout" ;;
        *) options="--timeout" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$words" -- "$cur"))
    elif [[ $command == decrypt || $command == encrypt ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
    else
        COMPREPLY=()
    fi
}

complete -o filenames -F _tessarind_client tessarind-client
