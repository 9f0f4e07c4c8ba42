#!/usr/bin/env bash
# wendrix-run's option table, as --list-options prints it, against everything that shows the
# options to a user: --help, the manual page's OPTIONS, and the bash, zsh and fish completions,
# which must offer for each value what its name in the table says (DIR folders, FILE files,
# PROGRAM programs, N numbers, other names nothing).
#   options_test.sh WENDRIX_RUN SOURCE_DIR
set -uo pipefail
run=$(realpath "$1")
src=$(realpath "$2")
completions=$src/packaging/completion
failed=0
fail() { echo "FAILED: $*"; failed=1; }
same() { [ "$2" = "$3" ] || fail "$1: expected [$(echo $2)], got [$(echo $3)]"; }

table=$("$run" --list-options) || fail "wendrix-run --list-options"
names=$(cut -f1 <<<"$table" | sort)
valued=$(awk -F'\t' 'NF > 1 { print $1 }' <<<"$table" | sort)
value_of() { awk -F'\t' -v n="$1" '$1 == n { print $2 }' <<<"$table"; }
[ -n "$valued" ] && [ "$(wc -l <<<"$names")" -gt 10 ] || fail "the table is too short: $table"

# --help: one screen, every option with its value's name, and no option that is not one.
help=$("$run" --help)
[ "$(wc -l <<<"$help")" -le 24 ] || fail "--help takes $(wc -l <<<"$help") lines"
awk 'length > 79 { print; bad = 1 } END { exit bad }' <<<"$help" || fail "--help: lines too long"
for n in $names; do
  value=$(value_of "$n")
  [[ $n == --* ]] || value=  # "-j, --jobs N"
  grep -qE -- "(^|[ ,])$n${value:+ $value}([ ,]|$)" <<<"$help" || fail "--help lacks $n $value"
done
same "options named in --help" "" \
  "$(grep -oE -- '(^| )--[a-z][a-z-]*' <<<"$help" | tr -d ' ' | sort -u | comm -23 - <(echo "$names"))"

# The manual page: each option's tag under OPTIONS, with its value's name.
man_tags=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$src/packaging/man/wendrix-run.1" |
  awk 'tag { print } { tag = ($0 == ".TP") }' | sed 's/\\-/-/g')
same "options in the manual page" "$names" \
  "$(grep -oE -- '(^| )--?[a-z][a-z-]*' <<<"$man_tags" | tr -d ' ' | sort)"
for n in $valued; do
  grep -E -- "(^| )$n( |$)" <<<"$man_tags" | grep -q -- "$(value_of "$n")" ||
    fail "the manual page does not name the value of $n as $(value_of "$n")"
done

# What a completion should offer for option $1's value, given the word $2 (sorted, folders
# without their trailing "/", the "--option=" a shell puts in front taken off).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" && mkdir sub.d && touch a.ini b.txt || exit 1
export PATH=$(dirname "$run"):$PATH
expected() {
  case $(value_of "$1") in
    DIR) echo sub.d ;;
    FILE) printf '%s\n' a.ini b.txt sub.d ;;
    PROGRAM) echo wendrix-run ;;
    N) printf '%s\n' 0 1 2 4 8 ;;
  esac
}
word_for() { [ "$(value_of "$1")" = PROGRAM ] && echo wendrix-ru; }
tidy() { cut -f1 | sed -e "s|^$1=||" -e 's|/$||' | grep -v '^wendrix-run[^ ]' | sort -u; }

bash_offers() {  # bash_offers WORD...: what bash completes the last word to
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _wendrix_run
           printf "%s\n" "${COMPREPLY[@]}"' - "$completions/wendrix-run.bash" wendrix-run "$@"
}
same "bash: options" "$names" "$(bash_offers - | sort)"
for n in $names; do
  if grep -qx -- "$n" <<<"$valued"; then
    w=$(word_for "$n")
    same "bash: $n VALUE" "$(expected "$n")" "$(bash_offers "$n" "$w" | tidy "$n")"
    if [[ $n == --* ]]; then
      same "bash: $n=VALUE" "$(expected "$n")" "$(bash_offers "$n" = "$w" | tidy "$n")"
      same "bash: $n=VALUE, one word" "$(expected "$n")" "$(bash_offers "$n=$w" | tidy "$n")"
    fi
  else
    same "bash: $n SETTINGS_FILE" "$(printf '%s\n' a.ini sub.d)" "$(bash_offers "$n" "" | tidy "")"
  fi
done

fish_offers() {  # fish_offers LINE: what fish completes the line's last word to
  fish --no-config -c "source $completions/wendrix-run.fish; complete -C'$1'" </dev/null 2>&1
}
same "fish: options" "$names" "$(fish_offers "wendrix-run -" | cut -f1 | sort)"
for n in $names; do
  if grep -qx -- "$n" <<<"$valued"; then
    w=$(word_for "$n")
    same "fish: $n VALUE" "$(expected "$n")" "$(fish_offers "wendrix-run $n $w" | tidy "$n")"
    [[ $n == --* ]] && same "fish: $n=VALUE" "$(expected "$n")" \
      "$(fish_offers "wendrix-run $n=$w" | tidy "$n")"
  else
    grep -qx a.ini <<<"$(fish_offers "wendrix-run $n ")" || fail "fish: $n SETTINGS_FILE"
  fi
done

# zsh: the names in the argument specifications, "=" or "+" after those that take a value,
# and the value's completer.
zsh -n "$completions/_wendrix-run" || fail "zsh: syntax"
zsh_specs=$(sed 's/,/,,/g' "$completions/_wendrix-run" |
  grep -oE -- "(^|[)'{,])--?[a-z][a-z-]*[=+]?(\[|,|\})" |
  grep -oE -- '--?[a-z][a-z-]*[=+]?')
same "zsh: options" "$names" "$(tr -d '=+' <<<"$zsh_specs" | sort)"
same "zsh: options with a value" "$valued" "$(grep '[=+]$' <<<"$zsh_specs" | tr -d '=+' | sort)"
for n in $valued; do
  case $(value_of "$n") in DIR) c="_files -/" ;; FILE) c=_files ;; PROGRAM) c=_command_names ;;
    N) c=":(0" ;; *) c=": '" ;; esac
  grep -E -- "[{,']$n[=+]" "$completions/_wendrix-run" | grep -qF -- "$c" ||
    fail "zsh: the value of $n is not completed with $c"
done

[ "$failed" -eq 0 ] && echo "options: help, manual page and completions follow the table"
exit "$failed"
