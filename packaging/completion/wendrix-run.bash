# bash completion for wendrix-run
_wendrix_run() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local option=$prev prefix=
    # --option=value: bash splits the word at "=" while "=" is in COMP_WORDBREAKS (the
    # default); otherwise the word holds both.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD >= 2)); then
        option=${COMP_WORDS[COMP_CWORD - 2]}
    elif [[ $cur == --*=* ]]; then
        option=${cur%%=*} prefix=${cur%%=*}= cur=${cur#*=}
    fi

    case $option in
        --path | --destination)
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            ;;
        --command)
            mapfile -t COMPREPLY < <(compgen -c -- "$cur")
            ;;
        --save | --joblog)
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            ;;
        -j | --jobs | --max-depth)
            mapfile -t COMPREPLY < <(compgen -W "0 1 2 4 8" -- "$cur")
            ;;
        --search | --parameters | --exclude | --creates)
            COMPREPLY=()
            ;;
        *)
            if [[ -n $prefix || $prev == = ]]; then
                COMPREPLY=()  # an option that takes no value
            elif [[ $cur == -* ]]; then
                mapfile -t COMPREPLY < <(compgen -W "--path --search --command --parameters
                    --destination --files --no-files --folders --no-folders -j --jobs
                    --exclude --max-depth --creates --joblog --resume --retry-failed --tag
                    --fail-fast --progress --dry-run --save -h --help --version" -- "$cur")
                return
            else
                # The settings file: *.ini files, and folders to reach them.
                mapfile -t COMPREPLY < <(compgen -f -X '!*.ini' -- "$cur"; compgen -d -- "$cur")
            fi
            ;;
    esac
    COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
    compopt -o filenames 2>/dev/null
} && complete -F _wendrix_run wendrix-run
