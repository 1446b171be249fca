#!/usr/bin/env bash
# The scripts answer: every script under scripts/ and .ci/run shows its
# usage for --help and -h, and refuses a wrong option with status 2 and the
# usage, starting no work either way; and a stage that sources
# scripts/lib/build.sh ends on its verdict line, passed or failed, after its
# own clean-up.
#
#   tests/tools/scripts_answer.sh SOURCE-DIR
set -uo pipefail
root=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# Stand-ins for the programs that do a script's work (configure, build,
# test, install, emulate, check): each notes that it was called, and fails.
standins=$scratch/standins
called=$scratch/called
mkdir "$standins"
for tool in cmake ctest ninja make cc gcc g++ c++ clang clang++ \
            aarch64-linux-gnu-gcc arm-linux-gnueabihf-gcc java javac jar \
            apt-get dpkg-query sudo unshare mount git nm readelf \
            qemu-aarch64 qemu-arm valgrind gcovr clang-format clang-tidy \
            cppcheck pkg-config; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\nexit 97\n' "$tool" "$called" \
    >"$standins/$tool"
  chmod +x "$standins/$tool"
done

# Every script under scripts/ but the sourced helpers of scripts/lib/, and
# the CI run.
mapfile -t scripts < <(cd "$root" && find scripts -name '*.sh' ! -path 'scripts/lib/*' | sort)
scripts+=(.ci/run)
((${#scripts[@]} >= 19)) || fail "only ${#scripts[@]} scripts found: ${scripts[*]}"

# answer <script> <argument>: runs it with the stand-ins first on PATH;
# sets out, err and status, and fails when it called a stand-in or made a
# file named after the argument.
answer() {
  rm -f "$called"
  status=0
  PATH="$standins:$PATH" timeout 30 "$root/$1" "$2" >"$scratch/out" 2>"$scratch/err" ||
    status=$?
  out=$(<"$scratch/out")
  err=$(<"$scratch/err")
  if [[ -e $called ]]; then
    fail "$1 $2 started work: $(tr '\n' ';' <"$called")"
  fi
  if [[ -e $root/$2 ]]; then
    fail "$1 $2 made $root/$2"
  fi
}

for script in "${scripts[@]}"; do
  # --help and -h: the usage, naming the script, with its options; exit 0.
  for asked in --help -h; do
    answer "$script" "$asked"
    ((status == 0)) || fail "$script $asked exited with $status: $err"
    [[ $(head -1 <<<"$out") == "Usage: $script"* ]] ||
      fail "$script $asked does not start with 'Usage: $script': $out"
    grep -q '^Options:$' <<<"$out" && grep -q -- '-h, --help' <<<"$out" ||
      fail "$script $asked lists no options: $out"
  done
  # A wrong option: exit 2, what was wrong and the usage on stderr.
  answer "$script" --no-such-option
  ((status == 2)) || fail "$script --no-such-option exited with $status: $err"
  [[ $(head -1 <<<"$err") == "$script: unknown option --no-such-option" ]] ||
    fail "$script --no-such-option does not name the option first: $err"
  grep -q "^Usage: $script" <<<"$err" ||
    fail "$script --no-such-option shows no usage: $err"
done

# expect_last <wanted last line> <stage body>: the body run after sourcing
# build.sh, as a CI stage is.
expect_last() {
  local wanted=$1 body=$2 out
  printf 'source %q/scripts/lib/build.sh\n%s\n' "$root" "$body" >"$scratch/stage.sh"
  out=$(bash "$scratch/stage.sh" 2>/dev/null)
  [[ $(tail -1 <<<"$out") == "$wanted" ]] ||
    fail "'$body' ends on '$(tail -1 <<<"$out")', not '$wanted'"
}
expect_last "demo: ok (all checked)" 'stage_verdict demo "all checked"; true'
expect_last "own words" 'stage_verdict demo; echo "own words"'
expect_last "demo: FAILED: 'false' exited with 1" \
  'stage_verdict demo "all checked"; false; echo "not reached"'
expect_last "demo: FAILED: the format; the tidy" \
  'stage_verdict demo "x"; stage_failed the format; stage_failed the tidy; exit 1'
expect_last "demo: FAILED: exit status 3" 'stage_verdict demo "x"; exit 3'
expect_last "demo: ok (x)" 'stage_verdict demo "x"; on_exit "echo cleaned"'
out=$(bash -c "source '$root/scripts/lib/build.sh'; stage_verdict demo x; on_exit 'echo cleaned'; exit 1")
[[ $out == $'cleaned\ndemo: FAILED: exit status 1' ]] ||
  fail "clean-up does not come before the verdict: $out"
# Sourced without a stage, nothing is added.
[[ -z $(bash -c "source '$root/scripts/lib/build.sh'; exit 1") ]] ||
  fail "a script without a stage got a verdict"

((failures == 0)) || exit 1
echo "scripts answer: --help, -h and a wrong option of ${#scripts[@]} scripts," \
     "no work started; verdict lines"
