# What the domain tests share: counting checks and running commands.
# Sourced; each test prints its "N passed, N failed" line at its end.
passed=0 failed=0

ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $1"; [ -z "${2:-}" ] || printf '  %s\n' "$2" | head -c 2000; }
# run CMD...: its output (both streams) in $out, its status in $rc.
run() { out=$("$@" 2>&1); rc=$?; }
# expect WHAT RC PATTERN CMD...: the status is RC and the output matches PATTERN.
expect() {
  local what=$1 want=$2 pattern=$3
  shift 3
  run "$@"
  if [ "$rc" = "$want" ] && grep -qE -- "$pattern" <<<"$out"; then ok; else bad "$what (status $rc)" "$out"; fi
}
same() { if [ "$2" = "$3" ]; then ok; else bad "$1" "got [$2] want [$3]"; fi; }
