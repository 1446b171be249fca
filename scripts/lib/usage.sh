# Sourced by every script before it does anything: its usage text is the
# comment block at its top (after the #! line), which names the script,
# says what it does and lists its options and environment.
#
#   answer_help "$@"        an argument -h or --help: the usage on standard
#                           output, exit 0, nothing started
#   usage_error <message>   "<script>: <message>" and the usage on standard
#                           error, exit 2 (a wrong option or argument)
#   reject_options "$@"     usage_error for any argument that starts with
#                           "-" (for arguments that are names, not options)
#   no_arguments "$@"       usage_error for any argument (for scripts that
#                           take none)
#
# Scripts that build source scripts/lib/build.sh, which sources this.
tagport_usage_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# Found now: a script may change directory before it prints its usage.
tagport_usage_script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
tagport_usage_name=${tagport_usage_script#"$tagport_usage_root/"}

usage() {
  sed -n '2,${/^#/!q; s/^# \{0,1\}//p}' "$tagport_usage_script"
}

answer_help() {
  local argument
  for argument in "$@"; do
    case $argument in
      -h | --help)
        usage
        exit 0
        ;;
    esac
  done
}

usage_error() {
  {
    echo "$tagport_usage_name: $*"
    echo
    usage
  } >&2
  exit 2
}

reject_options() {
  local argument
  for argument in "$@"; do
    [[ $argument != -* ]] || usage_error "unknown option $argument"
  done
}

no_arguments() {
  reject_options "$@"
  (($# == 0)) || usage_error "unexpected argument $1"
}
