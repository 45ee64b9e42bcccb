# bash completion for quillor-publish: commands, each command's options, files and folders for the rest.
_quillor_publish() {
    local cur prev words cword
    _init_completion || return
    local commands="keygen publish stage revert widen promote history prune status diff verify serve site report blob help"
    if ((cword == 1)); then
        mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
        return
    fi
    # Per command: the options that take a value, then the switches.
    local command=${words[1]} valued="" switches=""
    local health="--health --max-failed --min-runs"
    local signing="--key --sign-command --pub --serial --passphrase-file --passphrase-env --sign-timeout --jobs"
    case $command in
        keygen) valued="--passphrase-file" switches="--force" ;;
        publish) valued="$signing --message --keep" switches="--checksum --force --no-blocks" ;;
        stage) valued="$signing --share --salt --message --keep" switches="--checksum --no-blocks" ;;
        revert) valued="${signing/ --jobs/} --to --share --salt --message --keep" switches="--no-blocks" ;;
        widen) valued="--share $health" switches="--allow-few-runs" ;;
        promote) valued="--keep $health" switches="--allow-few-runs" ;;
        prune) valued="--keep" ;;
        history | blob) ;;
        status) valued="--address" ;;
        diff) valued="--to --timeout" switches="--checksum" ;;
        verify) valued="--key --expect-serial --wait --timeout" ;;
        serve) valued="--bind --port" ;;
        site) valued="--bind --port --edge --vcl --access-log" ;;
        report) valued="--since --until --html" switches="--addresses" ;;
        help)
            ((cword == 2)) && mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
            return ;;
        *) return ;;
    esac
    if [[ " $valued " == *" $prev "* ]]; then
        case $prev in
            --key | --pub) _filedir pem ;;
            --passphrase-file | --health | --access-log) _filedir ;;
            --html) _filedir html ;;
            --passphrase-env) mapfile -t COMPREPLY < <(compgen -e -- "$cur") ;;
        esac
        return  # any other value: nothing to guess
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$valued $switches --json --help" -- "$cur")
        return
    fi
    case $command in
        keygen | blob) _filedir ;;
        report) ((cword > 2)) && _filedir || _filedir -d ;;  # SERVER_DIR, then the logs
        *) _filedir -d ;;  # RELEASE_DIR and SERVER_DIR (diff and verify also take a URL)
    esac
}
complete -F _quillor_publish quillor-publish
