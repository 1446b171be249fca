#!/usr/bin/env bash
# An app developer's JVM tests against the installed test kit: installs the
# TestKit component of a build to a scratch prefix, copies the scanner
# example to a scratch app folder outside the checkout, and there runs the
# recipe as the documentation gives it: both javac steps, then the tests
# through the kit's launcher and through a plain java command. Also checks
# that a JVM without the preloaded redirect is told which file to preload.
#
#   tests/package/app_test_recipe.sh BUILD-DIR SOURCE-DIR JUNIT-CONSOLE-JAR
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
junit_jar=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "app test recipe: FAILED: $*" >&2
  exit 1
}

# expect_run <what> <output file>: the JUnit run passed all three tests with
# no CheckJNI complaint.
expect_run() {
  grep -q "\[ *3 tests successful *\]" "$2" || fail "$1: not 3 tests successful"
  grep -q "\[ *0 tests failed *\]" "$2" || fail "$1: tests failed"
  if grep -E "WARNING in native method|WARNING: JNI|FATAL ERROR" "$2"; then
    fail "$1: CheckJNI complained"
  fi
  echo "$1: 3 tests successful"
}

cmake --install "$build" --prefix "$scratch/kit" --component TestKit >/dev/null
installed=$(cd "$scratch/kit" && find . ! -type d | sed 's|^\./||' | sort | tr '\n' ' ')
# The library by its three names: the link System.loadLibrary opens, the
# soname and the versioned file.
wanted=$(printf '%s\n' bin/tagport-junit lib/libtagport.so lib/libtagport.so.1 \
  lib/libtagport.so.1.0.0 lib/libtagport_outcome.so lib/libtagport_redirect.so \
  lib/libtagport_sim_jni.so share/java/ctagport.jar share/java/tagport-fake.jar \
  share/java/tagport-sim.jar | sort | tr '\n' ' ')
[[ $installed == "$wanted" ]] || fail "the kit holds '$installed', not '$wanted'"
echo "the kit: $installed"
mkdir "$scratch/app"
cp -r "$source_dir/examples/scanner/src" "$scratch/app/src"
cd "$scratch/app"

kit=$scratch/kit
junit=$junit_jar
# --- the recipe, as documented
# shellcheck disable=SC2046 # the source files are separate words
javac -d build/classes -cp "$kit/share/java/ctagport.jar" \
  $(find src/main/java -name '*.java')
# shellcheck disable=SC2046
javac -d build/test-classes \
  -cp "build/classes:$kit/share/java/ctagport.jar:$kit/share/java/tagport-sim.jar:$junit" \
  $(find src/test/java -name '*.java')
TAGPORT_JUNIT_JAR=$junit "$kit/bin/tagport-junit" -cp build/classes:build/test-classes \
  --select-class=com.example.scanner.CardScannerTest >launcher.out 2>&1 ||
  { cat launcher.out; fail "the launcher's run"; }
LD_PRELOAD="$kit/lib/libtagport_redirect.so" java -Xcheck:jni -Djava.library.path="$kit/lib" \
  -cp "build/classes:build/test-classes:$kit/share/java/ctagport.jar:$kit/share/java/tagport-sim.jar:$junit" \
  org.junit.platform.console.ConsoleLauncher --select-class=com.example.scanner.CardScannerTest \
  >java.out 2>&1 || { cat java.out; fail "the plain java run"; }
# --- end of the recipe
cat launcher.out
expect_run "through bin/tagport-junit" launcher.out
expect_run "through java" java.out

# Without the redirect every test fails on start(), and says what to preload.
env -u LD_PRELOAD java -Xcheck:jni -Djava.library.path="$kit/lib" \
  -cp "build/classes:build/test-classes:$kit/share/java/ctagport.jar:$kit/share/java/tagport-sim.jar:$junit" \
  org.junit.platform.console.ConsoleLauncher --select-class=com.example.scanner.CardScannerTest \
  >unloaded.out 2>&1 && fail "the tests passed without the redirect"
wanted="LD_PRELOAD=$(realpath "$kit/lib/libtagport_redirect.so")"
grep -qF "$wanted" unloaded.out ||
  { cat unloaded.out; fail "no '$wanted' in the refusal"; }
if grep -q NullPointerException unloaded.out; then
  fail "the clean-up added a NullPointerException to the refusal"
fi
echo "without the redirect: the tests fail naming $wanted"
echo "app test recipe: ok (installed kit, javac steps, launcher and java)"
