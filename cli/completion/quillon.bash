# bash completion for quillon: commands, options, and vault names, account names, preference
# keys, tiers and job ids from what is stored locally. The program itself answers
# (quillon __complete -- WORDS...), so the list never goes stale; each answer is quoted for the
# shell, since names may hold blanks or characters the shell would take.
_quillon() {
    local word
    COMPREPLY=()
    while IFS= read -r word; do
        COMPREPLY+=("$(printf '%q' "$word")")
    done < <("${COMP_WORDS[0]}" __complete -- "${COMP_WORDS[@]:1:COMP_CWORD}" 2>/dev/null)
    return 0
}
complete -o default -F _quillon quillon
