#!/usr/bin/env bash
# Usage: scripts/ci/mutate.sh [OPTION]... [ID]...
#
# Mutation run: plants each fault of scripts/ci/mutations.txt in serial/,
# link/, protocol/, jni/ or include/tagport/ (the library), in what apps
# take beside the library (outcome/, java/android/kq/, tools/fake_reader/),
# or in tools/probe/ or tools/redirect/ (the probe and the node redirect the
# tests count the library's calls through) in turn, rebuilds
# (incrementally: only the touched file recompiles) and runs the tests that
# can see it. A fault that no test
# catches is a gap in the tests, unless the list marks it equivalent (no
# test could tell it from the original) and says why.
#
#   scripts/ci/mutate.sh [--build-dir DIR] [--list FILE] [--equivalents] [ID...]
#   scripts/ci/mutate.sh --check [--list FILE]
#
# Options:
#   --build-dir DIR  build here (default build-mutate); configured when new,
#                    else built as it is configured
#   --list FILE      the faults (default scripts/ci/mutations.txt)
#   --equivalents    also run the faults marked equivalent, to confirm that
#                    they survive; one that is caught loses its mark
#   ID...            only these faults
#   --check          only check the list: every fault's text still occurs
#                    exactly once in its file (seconds, no build; a ctest)
#   -h, --help       show this text
#
# Environment:
#   TAGPORT_MUTATE_BUDGET   seconds for the whole run (default 570). Faults
#                    not started within it are counted as not run, which
#                    fails nothing; 0 skips the run.
#   JOBS             parallel build and test jobs (default 2)
#
# The tests for a fault, cheapest first, up to the first failure: the native
# test program named after the fault's file (decoder_test for
# link/decoder.cc), the JVM test named after it (jvm_StringConversionTest
# for jni/string_conversion.cc), the other native tests, the other JVM
# tests. The tool tests are left out for a fault in the library: they drive
# it through the same calls as the native tests. They are the tests of a
# fault in tools/probe/; a fault in tools/redirect/ gets the native tests,
# then the tool tests. A fault on the Java side (outcome/, java/,
# tools/fake_reader/) goes to the JVM tests alone: no native test loads a
# JVM.
#
# The tree is restored after every fault, on failure and on Ctrl-C too; a
# run killed outright is undone by the next one (the original waits in the
# build directory).
#
# Exit status: 0 every fault run was caught; 1 a fault survived, a fault does
# not build, or a fault marked equivalent was caught; 2 a bad list or option,
# or the tests fail with no fault planted.
source "$(dirname "$0")/../lib/build.sh"
answer_help "$@"

dir=build-mutate
list=scripts/ci/mutations.txt
run_equivalents=0
check_only=0
declare -a only=()
while (($#)); do
  case $1 in
    --build-dir)
      (($# >= 2)) || usage_error "--build-dir needs a directory"
      dir=$2
      shift 2
      ;;
    --list)
      (($# >= 2)) || usage_error "--list needs a file"
      list=$2
      shift 2
      ;;
    --equivalents) run_equivalents=1; shift ;;
    --check) check_only=1; shift ;;
    -*) usage_error "unknown option $1" ;;
    *) only+=("$1"); shift ;;
  esac
done
budget=${TAGPORT_MUTATE_BUDGET:-570}
[[ $budget =~ ^[0-9]+$ ]] || usage_error "TAGPORT_MUTATE_BUDGET: not a number of seconds: $budget"
stage_verdict mutate

# Per-group limits: a fault that makes a test hang counts as caught.
readonly program_limit=120 group_limit=300

# -- The list ---------------------------------------------------------------

declare -a ids=() files=() finds=() replaces=() whats=() equivalents=()

# Reads the list into the arrays above; complains about every bad line.
read_list() {
  local line number=0 bad=0 rest
  local -a columns
  while IFS= read -r line || [[ -n $line ]]; do
    number=$((number + 1))
    [[ -z ${line//[[:space:]]/} || $line == \#* ]] && continue
    columns=()
    rest=$line
    while [[ $rest == *$'\t'* ]]; do
      columns+=("${rest%%$'\t'*}")
      rest=${rest#*$'\t'}
    done
    columns+=("$rest")
    if ((${#columns[@]} < 5 || ${#columns[@]} > 6)) || [[ -z ${columns[0]} || -z ${columns[2]} || -z ${columns[4]} ]]; then
      echo "$list:$number: want id, file, find, replace, what [, equivalent because]" >&2
      bad=1
      continue
    fi
    ids+=("${columns[0]}")
    files+=("${columns[1]}")
    finds+=("${columns[2]}")
    replaces+=("${columns[3]}")
    whats+=("${columns[4]}")
    equivalents+=("${columns[5]:-}")
  done <"$list"
  return $bad
}

# mutant <file> <find> <replace> <check|apply>: counts the occurrences of
# <find> in <file> (\n a line break, \\ a backslash); with apply, replaces
# the one occurrence. Exit status 3 when <find> does not occur exactly once.
mutant() {
  MUTATE_FIND=$2 MUTATE_REPLACE=$3 perl -e '
    use strict;
    my ($path, $mode) = @ARGV;
    sub unescape { my $s = shift; $s =~ s/\\(n|\\)/$1 eq "n" ? "\n" : "\\"/ge; $s }
    my $find = unescape($ENV{MUTATE_FIND});
    my $replace = unescape($ENV{MUTATE_REPLACE});
    open(my $in, "<", $path) or die "$path: $!\n";
    my $text = do { local $/; <$in> };
    close $in;
    my $count = () = $text =~ /\Q$find\E/g;
    exit 3 if $count != 1;
    exit 0 if $mode eq "check";
    substr($text, index($text, $find), length $find) = $replace;
    open(my $out, ">", $path) or die "$path: $!\n";
    print $out $text;
    close $out or die "$path: $!\n";
  ' "$1" "$4"
}

# What apps take beside the library, which only the JVM tests see.
java_side='outcome|java/android/kq|tools/fake_reader/java/tagport/fake'

check_list() {
  local k bad=0
  declare -A seen=()
  for k in "${!ids[@]}"; do
    local id=${ids[k]} file=${files[k]}
    if [[ -n ${seen[$id]:-} ]]; then
      echo "$list: $id: listed twice" >&2
      bad=1
    fi
    seen[$id]=1
    if [[ ! $file =~ ^(serial|link|protocol|jni|include/tagport|tools/probe|tools/redirect|$java_side)/[^/]+$ || ! -f $file ]]; then
      echo "$list: $id: $file is no file of the library's (serial/, link/, protocol/, jni/, include/tagport/), of what apps take beside it (outcome/, java/android/kq/, tools/fake_reader/...), the probe's or the redirect's" >&2
      bad=1
    elif ! mutant "$file" "${finds[k]}" "${replaces[k]}" check; then
      echo "$list: $id: the text to find does not occur exactly once in $file" >&2
      bad=1
    fi
  done
  for id in "${only[@]}"; do
    if [[ -z ${seen[$id]:-} ]]; then
      echo "$list: no fault $id" >&2
      bad=1
    fi
  done
  return $bad
}

# -- Planting and restoring ---------------------------------------------------

state=$dir/mutate
planted=$state/planted     # the path of the file that holds a fault
original=$state/original   # its original contents
running_group=            # process group of the tests running now

restore() {
  if [[ -n $running_group ]]; then
    kill -TERM -- "-$running_group" 2>/dev/null || true
    running_group=
  fi
  [[ -f $planted ]] || return 0
  local path
  path=$(<"$planted")
  # A plain copy gives the file a new time stamp, so the next build
  # recompiles it rather than keep the object built with the fault.
  cp "$original" "$path"
  rm -f "$planted" "$original"
}

plant() {
  local k=$1
  cp "${files[k]}" "$original"
  echo "${files[k]}" >"$planted"
  mutant "${files[k]}" "${finds[k]}" "${replaces[k]}" apply
}

on_exit restore
trap 'exit 130' INT
trap 'exit 143' TERM

# -- Tests --------------------------------------------------------------------

# Runs "$@" with a time limit, in its own process group so that restore()
# can stop it and whatever it started; output to $log. Sets $status.
limited() {
  local limit=$1
  shift
  timeout --kill-after=10 "$limit" "$@" >>"$log" 2>&1 &
  running_group=$!
  status=0
  # Quiet: a test killed by a signal is reported as caught, not by bash.
  wait "$running_group" 2>/dev/null || status=$?
  running_group=
}

# The native test program and the JVM test named after `file`, if built.
own_native_program() {
  local base
  base=$(basename "${1%.*}")
  [[ -f tests/$(dirname "$1")/${base}_test.cc && -x $dir/tests/${base}_test ]] &&
    echo "${base}_test"
}
own_jvm_test() {
  local base word name=''
  base=$(basename "${1%.*}")
  local IFS=_
  for word in $base; do name+=${word^}; done
  ctest --test-dir "$dir" -N -R "^jvm_${name}Test\$" | grep -q "jvm_${name}Test" &&
    echo "jvm_${name}Test"
}

# Runs the tests for `file` up to the first failure. Sets $caught_by to the
# failing test (or group), empty when everything passed.
run_tests_for() {
  local file=$1 program jvm_test exclude='^$'
  caught_by=
  # The list's own check fails while any fault is planted: it proves nothing.
  local tools=(-L tools -E '^mutation_list_applies$')
  case $file in
    tools/probe/*)
      ctest_group "${tools[@]}"
      return
      ;;
    tools/redirect/*)
      ctest_group -L native
      [[ -n $caught_by ]] || ctest_group "${tools[@]}"
      return
      ;;
  esac
  program=$(own_native_program "$file" || true)
  if [[ -n $program ]]; then
    limited "$program_limit" env --chdir="$dir/tests" "./$program" \
      --gtest_fail_fast --gtest_brief=1
    if ((status != 0)); then
      caught_by=$(grep -m1 -o '\[  FAILED  \] [^ ,]*' "$log" | cut -c14- || true)
      caught_by=${caught_by:-$program (status $status)}
      return
    fi
  fi
  jvm_test=$(own_jvm_test "$file" || true)
  if [[ -n $jvm_test ]]; then
    exclude="^$jvm_test\$"
    ctest_group -R "^$jvm_test\$"
    [[ -n $caught_by ]] && return
  fi
  if [[ ! $file =~ ^($java_side)/ ]]; then
    ctest_group -L native
    [[ -n $caught_by ]] && return
  fi
  ctest_group -L jvm -E "$exclude"
}

ctest_group() {
  caught_by=
  limited "$group_limit" ctest --test-dir "$dir" -j "$TAGPORT_JOBS" \
    --stop-on-failure --output-on-failure "$@"
  if ((status == 124 || status == 137)); then
    caught_by="timed out ($*)"
  elif ((status != 0)); then
    caught_by=$(sed -n '/tests FAILED:/,$p' "$log" |
      grep -m1 -oE '^[[:space:]]+[0-9]+ - [^ ]+' | sed 's/.* - //' || true)
    caught_by=${caught_by:-ctest $* (status $status)}
  fi
}

# -- The run ------------------------------------------------------------------

read_list || exit 2
if ((check_only)); then
  check_list || { echo "mutate: the list no longer fits the tree (above)"; exit 2; }
  echo "mutate: all ${#ids[@]} faults of $list apply, each exactly once"
  exit 0
fi
mkdir -p "$state/logs"
if [[ -f $planted ]]; then
  echo "mutate: restoring $(<"$planted"), left with a fault by an interrupted run"
  restore
fi
check_list || exit 2

declare -a chosen=()
for k in "${!ids[@]}"; do
  if ((${#only[@]})); then
    [[ " ${only[*]} " == *" ${ids[k]} "* ]] && chosen+=("$k")
  elif [[ -z ${equivalents[k]} ]] || ((run_equivalents)); then
    chosen+=("$k")
  fi
done
marked=0
for k in "${!ids[@]}"; do [[ -n ${equivalents[k]} ]] && marked=$((marked + 1)); done

if ((budget == 0)); then
  echo "mutate: budget 0 s, ${#chosen[@]} faults not run"
  exit 0
fi

# The JVM tests judge every fault of jni/ the native ones let through.
[[ -f $dir/CMakeCache.txt ]] || configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAGPORT_BUILD_BENCH=OFF -DTAGPORT_REQUIRE_JVM_TESTS=ON
log=$state/logs/no-fault.log
: >"$log"
echo "mutate: building $dir and running the tests with no fault planted"
build "$dir" >>"$log" 2>&1 || { echo "mutate: the build fails with no fault, see $log" >&2; exit 2; }
ctest_group -L 'native|jvm'
if [[ -n $caught_by ]]; then
  # One failure with nothing planted may be the test's, not the tree's: run
  # that test alone once more. It is named either way, since a flaky test
  # also makes the faults it catches less certain.
  first_failure=$caught_by
  ctest_group -R "^${first_failure}\$"
  if [[ -n $caught_by ]]; then
    echo "mutate: tests fail with no fault planted ($first_failure), see $log" >&2
    exit 2
  fi
  echo "mutate: FLAKY: $first_failure failed with no fault planted, then passed alone (see $log)"
  ctest_group -L 'native|jvm'
  if [[ -n $caught_by ]]; then
    echo "mutate: tests fail with no fault planted ($caught_by), see $log" >&2
    exit 2
  fi
fi

declare -a survived=() unbuilt=() caught_equivalent=()
scored=0 caught=0 run=0 not_run=0 equivalents_run=0
total=${#chosen[@]}
position=0
for k in "${chosen[@]}"; do
  position=$((position + 1))
  if ((SECONDS >= budget)); then
    not_run=$((total - position + 1))
    break
  fi
  id=${ids[k]}
  log=$state/logs/$id.log
  : >"$log"
  started=$SECONDS
  plant "$k"
  if ! build "$dir" >>"$log" 2>&1; then
    verdict="does not build"
    unbuilt+=("$k")
  else
    run_tests_for "${files[k]}"
    if [[ -n $caught_by ]]; then
      verdict="caught by $caught_by"
    elif [[ -n ${equivalents[k]} ]]; then
      verdict="survived (marked equivalent)"
    else
      verdict=SURVIVED
    fi
  fi
  restore
  run=$((run + 1))
  if [[ -z ${equivalents[k]} ]]; then
    scored=$((scored + 1))
  else
    equivalents_run=$((equivalents_run + 1))
  fi
  if [[ $verdict == caught* ]]; then
    if [[ -n ${equivalents[k]} ]]; then
      caught_equivalent+=("$k")
    else
      caught=$((caught + 1))
    fi
  elif [[ $verdict == SURVIVED ]]; then
    [[ -z ${equivalents[k]} ]] && survived+=("$k")
  fi
  printf '[%d/%d] %-26s %3d s  %s\n' "$position" "$total" "$id" $((SECONDS - started)) "$verdict"
done
# Leave the build directory built from the tree as it stands.
log=$state/logs/restored.log
build "$dir" >"$log" 2>&1 || echo "mutate: the restored tree does not build, see $log" >&2

echo
echo "======== mutation score: $caught / $scored faults caught;" \
  "$marked marked equivalent in the list, $equivalents_run of them run"
((not_run)) && echo "budget of $budget s spent: $not_run faults not run"
describe() {
  local k
  for k in "$@"; do
    printf '  %-26s %-24s %s\n' "${ids[k]}" "${files[k]}" "${whats[k]}"
  done
}
if ((${#survived[@]})); then
  echo "survived, no test failed (logs in $state/logs):"
  describe "${survived[@]}"
fi
if ((${#unbuilt[@]})); then
  echo "do not build (fix the list):"
  describe "${unbuilt[@]}"
fi
if ((${#caught_equivalent[@]})); then
  echo "marked equivalent, yet caught (drop the mark):"
  describe "${caught_equivalent[@]}"
fi
if ((${#survived[@]} + ${#unbuilt[@]} + ${#caught_equivalent[@]})); then
  stage_failed "${#survived[@]} survived, ${#unbuilt[@]} do not build," \
    "${#caught_equivalent[@]} marked equivalent yet caught (listed above)"
  exit 1
fi
echo "mutate: ok ($caught / $scored faults caught)"
