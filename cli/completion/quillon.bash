# bash completion for quillon: commands, options and vault names from the local cache.
# The program itself answers (quillon __complete -- WORDS...), so the list never goes stale.
_quillon() {
    local cur="${COMP_WORDS[COMP_CWORD]}"
    local IFS=$'\n'
    COMPREPLY=($("${COMP_WORDS[0]}" __complete -- "${COMP_WORDS[@]:1:COMP_CWORD}" 2>/dev/null))
    return 0
}
complete -o default -F _quillon quillon
