# Sourced by the tools: one line on the console for each step, its whole
# output in a log file.

# step LOG TEXT COMMAND...: prints TEXT, then runs COMMAND with its output
# appended to LOG. When COMMAND fails, prints the last lines of LOG and
# returns COMMAND's status.
step() {
  local log=$1 text=$2 status=0
  shift 2
  mkdir -p "$(dirname "$log")"
  echo "$text"
  "$@" >>"$log" 2>&1 </dev/null || status=$?
  if ((status != 0)); then
    echo "FAILED ($status): $text; the last lines of $log:" >&2
    tail -n 40 "$log" >&2
  fi
  return $status
}
