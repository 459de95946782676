#!/usr/bin/env bash
# The main job, on the stand-in Windows machine: the installer's commands run
# one after another on a fresh machine, each with its command line, exit code
# and meaning, the operation log as the dialog shows it (Shift held), and a
# short picture of the spooler afterwards. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "Building the installer on the stand-in machine..."
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=OFF >/dev/null
cmake --build build/demo -j"${JOBS:-2}" --target solvendale-sim >/dev/null

sim=build/demo/solvendale-sim
machine=$(mktemp -d)
trap 'rm -rf "$machine"' EXIT

meaning() {
  case "$1" in
    1) echo "install finished without an error line, nothing left for reboot" ;;
    2) echo "uninstall finished without an error line, nothing left for reboot" ;;
    3) echo "the probe answered no" ;;
    4) echo "def.set done" ;;
    6) echo "no command word, an unknown one, or removetray done" ;;
    100) echo "the job wrote at least one error line" ;;
    101) echo "no error line; files were scheduled for deletion at reboot" ;;
    102) echo "onInit: the default printer is not a Solvendale queue (or there is none)" ;;
    103) echo "onChkDrv: a recent Solvendale driver is installed" ;;
    200) echo "onInit: product DLLs are still waiting for a reboot" ;;
    *) echo "unexpected" ;;
  esac
}

step=0
run() {
  # run TITLE [runner options...] -- WORD
  local title=$1
  shift
  step=$((step + 1))
  local word=${*: -1}
  local all=("$@")
  for ((k = 0; k < ${#all[@]}; k++)); do
    [ "${all[k]}" = "--" ] && word="${all[*]:k+1}"
  done
  echo
  echo "=== $step. $title"
  echo "\$ SolvendaleSetup.exe $word"
  set +e
  "$sim" --machine "$machine" "$@" > "$machine.out"
  local code=$?
  set -e
  grep -v '^exit code ' "$machine.out" || true
  echo "exit code $code: $(meaning "$code")"
}

run "Install on a clean machine (Shift held: the log is shown)" --new --shift --state -- install
run "Is the installed driver recent enough?" -- onChkDrv
run "Start-up check: pending product DLLs, or a default printer that is not ours?" -- onInit
run "Make the Solvendale queue the default printer" --state -- def.set
run "A user's queue with its settings key, made the default; then a reinstall keeps it" \
  --user-queue "Invoices" "Invoices-7" "Accounting copies" "2nd floor" --default "Invoices" \
  --shift --state -- install
run "Start-up check after the reinstall" -- onInit
run "Stop the tray companion" --state -- removetray
run "A deployment tool's service reinstalls quietly, with a report in its TEMP" \
  --service --print 'C:\Windows\Temp\SolvendaleSetup.log' -- install /quiet /log
run "Uninstall (Shift held)" --shift --state -- uninstall
run "Is a driver still installed?" -- onChkDrv
rm -f "$machine.out"
