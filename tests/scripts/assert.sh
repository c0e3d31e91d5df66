# Checks shared by the script tests (sourced). A failed check prints what was
# expected and what came, and the test exits 1 at its end.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
failures=0

expectEq() {  # expectEq WHAT ACTUAL EXPECTED
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$3" "$2"
    failures=$((failures + 1))
  fi
}

expectMatch() {  # expectMatch WHAT TEXT GREP-PATTERN: some line of TEXT matches
  if ! grep -qE -- "$3" <<<"$2"; then
    printf 'FAIL %s\n  no line matches: %s\n  in:\n%s\n' "$1" "$3" "$(sed 's/^/    /' <<<"$2")"
    failures=$((failures + 1))
  fi
}

expectNoMatch() {  # expectNoMatch WHAT TEXT GREP-PATTERN
  if grep -qE -- "$3" <<<"$2"; then
    printf 'FAIL %s\n  a line matches: %s\n  in:\n%s\n' "$1" "$3" "$(sed 's/^/    /' <<<"$2")"
    failures=$((failures + 1))
  fi
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks passed"
}
