#!/usr/bin/env bash
# Usage: scripts/ci/docs.sh [--check] [FILE.md]...
#
# Tests the documents as printed: every fenced sh/bash block of README.md and
# docs/*.md is taken from the Markdown itself and is one of
#   - marked "*Not run here: <reason>.*" on the last line of text before it;
#   - run by a stage of .ci/run (each of its commands is a stage's command);
#   - marked "*In a folder of your own:*": run in a scratch folder outside
#     the clone;
#   - any other: run in the clone.
# Each document is followed alone, in its own order, as a newcomer would
# from a fresh clone: its blocks run in one shell (set -eu -o pipefail, so
# what one block exports or builds is there for the next, and a variable
# used before the document defines it fails) in a fresh clone of the tree
# made for that document alone (the commits, and the changes not yet
# committed: no build, nothing made by another document). The packages of
# scripts/setup.sh ci stand installed. A `console` block marked "*It
# prints:*" right after a block that runs must be that block's output word
# for word. The run happens in a private mount namespace with empty /tmp,
# /opt/tagport and /opt/tagport-arm64, so the prefixes and the links the
# documents use are theirs alone (needs root). The clones are made in
# build-docs/, each one removed once its document passed; the logs stay
# there.
#
# Also fails on a block with no known marker, a `console` transcript marked
# neither "*It prints:*" nor "*Illustration...*", a $(pkg-config ...) with
# PKG_CONFIG_PATH not exported before it (documents and examples/), a "N.N
# or later/newer" that is not the CMake version CMakeLists.txt requires, a
# Gradle CMake `version` below it, and a relative link to no file or
# heading.
#
# Options:
#   --check      the checks alone, no block run (no root, seconds)
#   FILE.md      the documents (default: README.md docs/*.md)
#   -h, --help   show this text
source "$(dirname "$0")/../lib/build.sh"
answer_help "$@"

check_only=0
if [[ ${1:-} == --check ]]; then
  check_only=1
  shift
fi
reject_options "$@"
docs=("$@")
((${#docs[@]})) || docs=(README.md docs/*.md)
for doc in "${docs[@]}"; do
  [[ -f $doc ]] || usage_error "no such document: $doc"
done
# The prefixes the documents install to, private to the run.
private_prefixes=(/opt/tagport /opt/tagport-arm64)

if ((!check_only)) && [[ -z ${TAGPORT_DOCS_PRIVATE:-} ]]; then
  if ((EUID != 0)); then
    echo "docs: running the blocks needs root (a private mount namespace)" >&2
    exit 2
  fi
  mkdir -p "${private_prefixes[@]}"
  TAGPORT_DOCS_PRIVATE=1 exec unshare --mount --propagation private \
    "$TAGPORT_ROOT/scripts/ci/docs.sh" "$@"
fi
if [[ -n ${TAGPORT_DOCS_PRIVATE:-} ]]; then
  for prefix in "${private_prefixes[@]}"; do
    mount -t tmpfs tmpfs "$prefix"
  done
  # A checkout under /tmp would vanish beneath a fresh /tmp.
  [[ $TAGPORT_ROOT == /tmp/* ]] || mount -t tmpfs tmpfs /tmp
fi

failures=0
fail() {
  echo "docs: FAILED: $*" >&2
  failures=$((failures + 1))
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Splits one document into its fenced blocks: for each, work/<n>.body and
# a line "n<TAB>file<TAB>line<TAB>language<TAB>marker" on standard output,
# the marker being the last non-blank line of text before the fence.
split_blocks() {
  awk -v file="$1" -v dir="$work" -v first="$2" '
    BEGIN { n = first }
    /^```/ && !inside {
      inside = 1; lang = substr($0, 4); start = NR; n++
      body = dir "/" n ".body"; printf "" > body
      printf "%d\t%s\t%d\t%s\t%s\n", n, file, start, lang, marker
      next
    }
    /^```/ && inside { inside = 0; close(body); next }
    inside { print > body; next }
    NF { marker = $0 }
  ' "$1"
}

: >"$work/blocks"
count=0
for doc in "${docs[@]}"; do
  split_blocks "$doc" "$count" >>"$work/blocks"
  count=$(wc -l <"$work/blocks")
done

# The commands .ci/run runs as stages.
mapfile -t stage_commands < <(sed -n 's/^stage [a-z-]* \(.*\)$/\1/p' .ci/run |
                              sed 's/ || true$//')
run_by_stage() {
  local line found
  while IFS= read -r line; do
    line=${line%%#*}
    line=${line%"${line##*[! ]}"}
    [[ -z $line ]] && continue
    found=0
    for command in "${stage_commands[@]}"; do
      [[ $line == "$command" ]] && found=1
    done
    ((found)) || return 1
  done <"$1"
}

# Classifies every shell block (where it runs) and checks the markers.
declare -A place=() expected=()
previous=0 previous_file=
runnable=0 staged=0 skipped=0
while IFS=$'\t' read -r n file line lang marker; do
  where="$file:$line"
  case $lang in
    sh | bash)
      if [[ $marker == '*Not run here:'* ]]; then
        reason=${marker#'*Not run here:'}
        reason=${reason%'*'}
        bare=${reason// /}
        if [[ $marker != *'.*' || -z ${bare%.} ]]; then
          fail "$where: \"*Not run here: <reason>.*\" needs its reason"
        fi
        skipped=$((skipped + 1))
        echo "docs: $where not run:${reason}"
      elif [[ $marker == '*In a folder of your own:*' ]]; then
        place[$n]=scratch
        runnable=$((runnable + 1))
      elif run_by_stage "$work/$n.body"; then
        staged=$((staged + 1))
        echo "docs: $where run by its own stage of .ci/run"
      elif [[ $marker == '*'*'*' ]]; then
        fail "$where: unknown marker before a shell block: $marker"
      else
        place[$n]=checkout
        runnable=$((runnable + 1))
      fi
      ;;
    console)
      if [[ $marker == '*It prints:*' ]]; then
        if [[ -n ${place[$previous]:-} && $previous_file == "$file" ]]; then
          expected[$previous]=$n
        else
          fail "$where: \"*It prints:*\" follows no block that runs"
        fi
      elif [[ $marker != '*Illustration'* ]]; then
        fail "$where: a transcript needs \"*Illustration: ...*\" or \"*It prints:*\" before it"
      fi
      ;;
  esac
  previous=$n previous_file=$file
done <"$work/blocks"

# $(pkg-config ...) must find the prefix: PKG_CONFIG_PATH exported before
# it. A "PKG_CONFIG_PATH=... cc ..." gives the variable to cc alone.
pkg_config_lines() {
  awk -v file="$1" -v code="$2" '
    /^```(sh|bash)$/ { inside = 1; next }
    /^```/ { inside = 0; next }
    !code && !inside { next }
    /export PKG_CONFIG_PATH=/ { exported = 1 }
    /\$\(pkg-config/ {
      if (!exported) {
        printf "%s:%d: PKG_CONFIG_PATH is not exported before $(pkg-config ...)", file, NR
        if ($0 ~ /PKG_CONFIG_PATH=/) printf " (it reaches the command, not pkg-config)"
        print ""
      }
    }
  ' "$1"
}
for doc in "${docs[@]}"; do
  while IFS= read -r problem; do fail "$problem"; done < <(pkg_config_lines "$doc" 0)
done
while IFS= read -r source; do
  while IFS= read -r problem; do fail "$problem"; done < <(pkg_config_lines "$source" 1)
done < <(grep -rl 'pkg-config' examples/)

# One CMake version: the one the build requires.
required=$(sed -n 's/^cmake_minimum_required(VERSION \([0-9.]*\)).*/\1/p' CMakeLists.txt)
while IFS=: read -r file line version; do
  version=${version%% *}
  [[ $version == "$required" ]] ||
    fail "$file:$line: says CMake $version or later; CMakeLists.txt requires $required"
done < <(grep -HnoE '[0-9]+\.[0-9]+ or (later|newer)' "${docs[@]}")
while IFS=: read -r file line version; do
  version=${version#*\"}
  version=${version%\"*}
  [[ $(printf '%s\n' "$required" "$version" | sort -V | head -1) == "$required" ]] ||
    fail "$file:$line: Gradle asks for CMake $version; CMakeLists.txt requires $required"
done < <(grep -HnoE '^ *version = "[0-9.]+"' "${docs[@]}")

# Headings as anchors, the way the Markdown renderer makes them.
anchors() {
  awk '/^```/ { inside = !inside; next }
       !inside && /^#+ / {
         sub(/^#+ /, ""); s = tolower($0); gsub(/[^a-z0-9 _-]/, "", s)
         gsub(/ /, "-", s); print s
       }' "$1"
}
for doc in "${docs[@]}"; do
  base=$(dirname "$doc")
  while IFS= read -r target; do
    path=${target%%#*}
    anchor=${target#"$path"}
    anchor=${anchor#\#}
    [[ -z $path ]] && path=$(basename "$doc")
    if [[ ! -e $base/$path ]]; then
      fail "$doc: link to $target: no such file"
    elif [[ -n $anchor ]] && ! anchors "$base/$path" | grep -qxF "$anchor"; then
      fail "$doc: link to $target: no such heading"
    fi
  done < <(grep -oE '\]\([^)]+\)' "$doc" | sed 's/^](\(.*\))$/\1/' | grep -v '://')
done

if ((check_only)); then
  if ((failures)); then
    exit 1
  fi
  echo "docs: every shell block is marked or runnable ($runnable to run," \
       "$staged run by stages, $skipped not run here); the checks pass"
  exit 0
fi

# fresh_clone <dir>: the tree as a newcomer clones it, with the changes
# not yet committed (tracked files changed, files not yet added): a clone
# of the checkout, the difference applied, the new files copied.
fresh_clone() {
  local into=$1 changes
  git -c advice.detachedHead=false clone --quiet --no-hardlinks "$TAGPORT_ROOT" "$into"
  changes=$(git diff HEAD --binary)
  if [[ -n $changes ]]; then
    git -C "$into" apply --binary --whitespace=nowarn - <<<"$changes"
  fi
  git ls-files -z --others --exclude-standard |
    tar --null --files-from=- -cf - | tar -xf - -C "$into"
}

# One shell per document, its blocks in order, in its own clone.
clones=$TAGPORT_ROOT/build-docs
rm -rf "$clones"
mkdir -p "$clones"
for doc in "${docs[@]}"; do
  name=$(basename "$doc" .md)
  clone=$clones/$name
  script=$clones/$name.sh
  log=$clones/$name.log
  blocks=0
  {
    echo 'set -eu -o pipefail'
    # Simulators a block left running end with the document.
    # shellcheck disable=SC2016 # expanded by the document's shell
    echo 'trap '\''status=$?; set +e; kill $(jobs -p) 2>/dev/null; wait; exit $status'\'' EXIT'
  } >"$script"
  scratch=$(mktemp -d /tmp/docs-folder-XXXXXX)
  while IFS=$'\t' read -r n file line _; do
    [[ $file == "$doc" && -n ${place[$n]:-} ]] || continue
    blocks=$((blocks + 1))
    dir=$clone
    [[ ${place[$n]} == scratch ]] && dir=$scratch
    {
      echo "echo '======== $file:$line (in ${dir})' >&3"
      echo "echo '======== $file:$line (in ${dir})'"
      echo "cd '$dir'"
      if [[ -n ${expected[$n]:-} ]]; then
        # The transcript after the block is what the block prints. The
        # shell's own output goes to a file meanwhile, so set -e still
        # holds for every command of the block.
        echo "exec 4>&1 >'$work/$n.out'"
        cat "$work/$n.body"
        echo "exec >&4 4>&-"
        echo "cat '$work/$n.out'"
        echo "diff -u '$work/${expected[$n]}.body' '$work/$n.out' ||"
        echo "  { echo '$file:$line prints other than the document shows (- shown, + printed)'; exit 1; }"
      else
        cat "$work/$n.body"
      fi
    } >>"$script"
  done <"$work/blocks"
  if ((blocks == 0)); then
    rm -rf "$scratch" "$script"
    continue
  fi
  start=$SECONDS
  fresh_clone "$clone"
  if timeout --kill-after=10 1200 bash "$script" 3>&1 >"$log" 2>&1 </dev/null; then
    echo "docs: $doc: $blocks blocks ran in a fresh clone, $((SECONDS - start)) s" \
         "(log: ${log#"$TAGPORT_ROOT/"})"
    rm -rf "$clone"
  else
    fail "$doc: a block failed (status $?) in ${clone#"$TAGPORT_ROOT/"}; the end of ${log#"$TAGPORT_ROOT/"}:"
    tail -40 "$log" >&2
    # What a compared block printed before it failed.
    cat "$work"/*.out >&2 2>/dev/null || true
    rm -f "$work"/*.out
  fi
  rm -rf "$scratch"
done

if ((failures)); then
  exit 1
fi
echo "docs: $runnable blocks ran as printed, each document in a fresh clone;" \
     "$staged run by their own stages, $skipped marked not runnable here"
