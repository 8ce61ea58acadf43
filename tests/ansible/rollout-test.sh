#!/usr/bin/env bash
# The Ansible role and playbook under deploy/ansible against three sites on
# this machine: each site an ssh login (an sshd of the test's own, key only,
# on loopback) with its own simulated meters; one site's host list holds a
# range and, later, a host name. The firmware is pinned in upper case. Runs,
# in order: ansible-lint; a setting of an earlier role version (refused); a
# wrong firmware hash (the canary wave stops, nothing is sent); a dry run (no
# meter contacted, one site unreachable); the rollout in two waves (one meter
# fails once, the retry round fixes it; each meter written once; each meter
# watched until it is back, with the revision expected); a rerun (touches
# nothing); a new meter that always fails and, at another site, a new meter
# that does not come back after its reset (each site fails naming its meter,
# the latter with not-back; the verdict fails) while a meter's address is
# replaced by its name (left alone); and the password in no output, log or
# report.
# Usage: rollout-test.sh CLI METER_SIM IMAGE_BIN DEPLOY_DIR
set -euo pipefail
cli=$1 sim=$2 image=$3 deploy=$4

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: the simulated meters serve port 502, which needs root"
  exit 77
fi
# A network of its own where the system allows it, so that the meters' ports
# meet no other test's.
if [ -z "${ROLLOUT_TEST_NETNS:-}" ] && unshare -n true 2>/dev/null; then
  exec env ROLLOUT_TEST_NETNS=1 unshare -n bash -c 'ip link set lo up && exec bash "$@"' bash "$0" "$@"
fi

work=$(mktemp -d /tmp/ansible-rollout.XXXXXX)
declare -A pids  # the meter-sims by name
sshd=
made_privsep=
cleanup() {
  local status=$?
  [ -z "$sshd" ] || kill -TERM "$sshd" 2>/dev/null || true
  for p in "${pids[@]}"; do kill -INT "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -z "$made_privsep" ] || rmdir /run/sshd 2>/dev/null || true
  if [ "$status" -ne 0 ]; then
    echo "--- the last playbook's output"
    tail -n 60 "$(ls -t "$work"/out/*.txt 2>/dev/null | head -n 1)" 2>/dev/null | cut -c1-400 || true
    echo "--- sshd log"
    tail -n 20 "$work/sshd.log" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

# 127.N.S.1 is site S's ssh login, 127.N.S.2 and up its meters.
net=$((200 + $$ % 50))
addr() { echo "127.$net.$1.$2"; }
# The south site's meter known by a name: localhost, on 127.0.0.1, which is
# free only in a network of the test's own; elsewhere it goes by its address.
if [ -n "${ROLLOUT_TEST_NETNS:-}" ]; then
  named=localhost named_addr=127.0.0.1
else
  named=$(addr 2 7) named_addr=$(addr 2 7)
fi
password='Rk7-qz!Pw'
sha=$(sha256sum "$image" | cut -d' ' -f1)
cp "$image" "$work/firmware.bin"
mkdir -p "$work/inventory/group_vars/sites" "$work/sites" "$work/history" "$work/out"
# The playbooks run from a copy: with no loader_report_dir given, the reports
# land beside the playbook, in a folder named after the pinned hash.
mkdir "$work/deploy"
cp -r "$deploy/rollout.yml" "$deploy/verdict.yml" "$deploy/roles" "$work/deploy/"
reports=$work/deploy/reports/$sha

# Ansible, its linter and ssh keep everything under the test's folder.
export XDG_CACHE_HOME=$work/cache
export ANSIBLE_HOME=$work/ansible-home ANSIBLE_LOCAL_TEMP=$work/ansible-tmp ANSIBLE_REMOTE_TEMP=$work/remote-tmp
export ANSIBLE_SSH_CONTROL_PATH_DIR=$work/cp ANSIBLE_LOG_PATH=$work/ansible.log ANSIBLE_NOCOLOR=1
export ANSIBLE_PRIVATE_KEY_FILE=$work/client_key ANSIBLE_PIPELINING=1 ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3
export ANSIBLE_SSH_ARGS="-o UserKnownHostsFile=$work/known_hosts -o StrictHostKeyChecking=accept-new -o IdentitiesOnly=yes -o ControlMaster=auto -o ControlPersist=60s"
echo "== ansible-lint"
(cd "$deploy" && ansible-lint --offline -q roles/ethernet_loader rollout.yml) || fail "ansible-lint found problems"

# --- sshd: its own host key, key-only login, an unused port, loopback only.
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/client_key"
cp "$work/client_key.pub" "$work/authorized_keys"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/sshd_config" <<CONF
Port $port
ListenAddress $(addr 1 1)
ListenAddress $(addr 2 1)
ListenAddress $(addr 3 1)
HostKey $work/host_key
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
AuthenticationMethods publickey
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
UsePAM no
StrictModes no
SetEnv XDG_STATE_HOME=$work/history
Subsystem sftp internal-sftp
CONF
if [ ! -d /run/sshd ]; then
  mkdir -p /run/sshd
  made_privsep=1
fi
/usr/sbin/sshd -D -e -f "$work/sshd_config" 2> "$work/sshd.log" &
sshd=$!

# --- the meters: one meter-sim per site, two meters each.
start_sim() {  # NAME FIRST-ADDRESS COUNT [OPTIONS...]
  local name=$1 first=$2 count=$3
  shift 3
  "$sim" --address "$first" --meters "$count" --password "$password" --image "$image" \
    --log "$work/sim-$name.log" "$@" > "$work/sim-$name.out" 2>&1 &
  pids[$name]=$!
  for _ in $(seq 100); do
    grep -q '"ready":true' "$work/sim-$name.out" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "meter-sim $name did not start: $(cat "$work/sim-$name.out")"
}
# Boot-mode requests (function 16), the only Modbus requests that change a
# meter; the tool's reads after a reset (function 43) are no write.
boot_mode='"command":"MODBUS","function":16,'
modbus_requests() { cat "$work"/sim-*.log 2>/dev/null | grep -cF "$boot_mode" || true; }
requests_to() { cat "$work"/sim-*.log 2>/dev/null | grep -F "$boot_mode" | grep -cF "\"meter\":\"$1\"" || true; }
start_sim north "$(addr 1 2)" 2
start_sim south "$(addr 2 9)" 6   # the range 127.N.2.8/29
start_sim named "$named_addr" 1
start_sim extra "$(addr 2 20)" 1 --fault 'drop@cmd=VER?'   # never identifies itself

inventory() {  # the south site's meters [the harbour's]
  local harbour=${2:-"\"$(addr 3 2)\", \"$(addr 3 3)\""}
  cat > "$work/inventory/hosts.yml" <<INV
sites:
  hosts:
    north: {ansible_host: "$(addr 1 1)", loader_meters: ["$(addr 1 2)", "$(addr 1 3)"]}
    south: {ansible_host: "$(addr 2 1)", loader_meters: [$1]}
    harbour: {ansible_host: "$(addr 3 1)", loader_meters: [$harbour]}
  vars:
    ansible_port: $port
    ansible_user: $(id -un)
    loader_cli: $cli
    loader_image_src: $work/firmware.bin
    loader_firmware_sha256: ${sha^^}
    loader_state_dir: "$work/sites/{{ inventory_hostname }}"
    loader_retry_rounds: 1
    loader_connect_timeout_ms: 1000
    # Long enough for meters back after the simulated boot time (1 s), short
    # for the one that never is.
    loader_back_within: 4
    loader_expect_revision: "2.31"
INV
}
inventory "\"$(addr 2 8)/29\", \"$named_addr\""
printf 'loader_password: "%s"\n' "$password" > "$work/inventory/group_vars/sites/vault.yml"
echo "vault-secret-of-the-test" > "$work/vault-pass"
ansible-vault encrypt --vault-password-file "$work/vault-pass" "$work/inventory/group_vars/sites/vault.yml" > /dev/null
grep -q '^\$ANSIBLE_VAULT' "$work/inventory/group_vars/sites/vault.yml" || fail "the vault file is not encrypted"

playbook() {  # OUTPUT-NAME [ARGS...]; the exit status in $status. $book: the playbook
  local name=$1
  shift
  status=0
  # -vvv --diff: module arguments, results and file changes in full, where a
  # password would show.
  ansible-playbook -vvv --diff -i "$work/inventory" "$work/deploy/${book:-rollout.yml}" --vault-password-file "$work/vault-pass" \
    -e "{\"rollout_waves\": [1, 2], \"rollout_cli\": \"$cli\"}" "$@" > "$work/out/$name.txt" 2>&1 || status=$?
}
recap() { sed -n '/PLAY RECAP/,$p' "$work/out/$1.txt"; }

echo "== a setting of an earlier role version is refused"
playbook old-setting -e loader_connect_timeout=3
[ "$status" -ne 0 ] || fail "the rollout ran with loader_connect_timeout set"
grep -q "set loader_connect_timeout_ms instead" "$work/out/old-setting.txt" || fail "no word on the setting: $(recap old-setting)"

echo "== a wrong firmware hash stops the canary wave; nothing is sent"
playbook wrong-hash -e "loader_firmware_sha256=$(printf '%064d' 7)"
[ "$status" -ne 0 ] || fail "the rollout with a wrong hash succeeded"
grep -q "nothing was sent" "$work/out/wrong-hash.txt" || fail "no refusal: $(recap wrong-hash)"
! grep -q '\[south\]\|\[harbour\]' "$work/out/wrong-hash.txt" || fail "the wave after the canary ran"
[ "$(modbus_requests)" -eq 0 ] || fail "a meter was contacted"
[ ! -d "$work/deploy/reports" ] || fail "reports were fetched: $(ls -R "$work/deploy/reports")"

echo "== a dry run contacts no meter and names the unreachable ones"
playbook dry-run --check
[ "$status" -ne 0 ] || fail "the dry run passed with a site unreachable"
grep -q "north: would update $(addr 1 2) $(addr 1 3); unreachable: none" "$work/out/dry-run.txt" || fail "north: $(cat "$work/out/dry-run.txt")"
grep -q "harbour: would update none; unreachable: $(addr 3 2) $(addr 3 3)" "$work/out/dry-run.txt" || fail "harbour: $(cat "$work/out/dry-run.txt")"
grep -q "south: would update $(echo $(for i in $(seq 9 14); do addr 2 "$i"; done)) $named_addr; unreachable: none" \
  "$work/out/dry-run.txt" || fail "south: $(cat "$work/out/dry-run.txt")"
# A site whose meters are unreachable is itself reachable: it stays in the
# play and removes its password file.
recap dry-run | grep -q 'unreachable=[1-9]' && fail "a site was taken for unreachable: $(recap dry-run)"
[ -z "$(find "$work/sites" -name password)" ] || fail "the dry run left a password file on a site"
[ "$(modbus_requests)" -eq 0 ] || fail "the dry run sent a request to a meter"

# The harbour's second meter answers no identification in its first round;
# its third, added to the site later, never comes back after its reset.
start_sim harbour "$(addr 3 2)" 3 --meter 2 --fault drop@1 --fault drop@2 --meter 3 --fault never-back

echo "== the rollout: the canary site, then a wave of two"
started=$(date +%s)
playbook rollout
elapsed=$(($(date +%s) - started))
[ "$status" -eq 0 ] || fail "the rollout failed: $(tail -n 40 "$work/out/rollout.txt")"
grep -q "4 reports of update with firmware $sha, 11 meters: 11 updated" "$work/out/rollout.txt" || fail "counts: $(tail -n 30 "$work/out/rollout.txt")"
[ "$(grep -c '^PLAY \[Update the meters' "$work/out/rollout.txt")" -eq 2 ] || fail "not two waves"
[ -f "$reports/harbour.run-002.json" ] || fail "the harbour's failing meter was not retried: $(ls "$reports")"
grep -o '"result": "[a-z-]*"' "$reports/harbour.run-001.json" | grep -qv updated || fail "the harbour's first round failed no meter"
# One boot-mode request per meter of the range and the named meter: none
# written twice.
south_requests=$(cat "$work/sim-south.log" "$work/sim-named.log" | grep -F "$boot_mode" | grep -o '"meter":"[^"]*"')
[ "$(echo "$south_requests" | wc -l)" -eq 7 ] && [ "$(echo "$south_requests" | sort -u | wc -l)" -eq 7 ] ||
  fail "the south site's meters were not each written once: $(echo "$south_requests" | sort | uniq -c)"
grep -qF '"--connect-timeout", "1000"' "$work/out/rollout.txt" || fail "the tool was not given --connect-timeout"
grep -qF '"--back-within", "4"' "$work/out/rollout.txt" || fail "the tool was not given --back-within"
grep -qF '"--expect-revision", "2.31"' "$work/out/rollout.txt" || fail "the tool was not given --expect-revision"
grep '^PLAY \[\|"msg": "[a-z]*: [a-z-]* [0-9]\|"msg": "[0-9]* reports' "$work/out/rollout.txt" || true
echo "rollout wall time: ${elapsed}s"

echo "== a rerun touches nothing"
before=$(modbus_requests)
playbook rerun
[ "$status" -eq 0 ] || fail "the rerun failed: $(tail -n 30 "$work/out/rerun.txt")"
[ "$(modbus_requests)" -eq "$before" ] || fail "the rerun contacted a meter"
recap rerun | grep -q 'changed=[1-9]' && fail "the rerun changed something: $(recap rerun)"
recap rerun | grep -q '^south .*changed=0' || fail "the south site did not run: $(recap rerun)"

echo "== new meters that fail (one always, one not back after its reset) are named and fail the verdict; the others, one now given by its name, are left alone"
inventory "\"$(addr 2 8)/29\", \"$named\", \"$(addr 2 20)\"" "\"$(addr 3 2)\", \"$(addr 3 3)\", \"$(addr 3 4)\""
before=$(modbus_requests)
playbook failing
[ "$status" -ne 0 ] || fail "the rollout with failing meters succeeded"
grep -q "1 of 8 meters of this site not updated: $(addr 2 20) (" "$work/out/failing.txt" || fail "the site did not name the meter: $(recap failing)"
# Its retry round finds the meter still gone; the earlier not-back stays named.
grep -q "1 of 3 meters of this site not updated: $(addr 3 4) (not-back in run-003.json, then unreachable: " \
  "$work/out/failing.txt" || fail "the harbour did not name its meter not back: $(grep -o 'not updated: [^"]*' "$work/out/failing.txt" | sort -u)"
grep -q "NO MORE HOSTS LEFT" "$work/out/failing.txt" || fail "the wave did not stop the rollout: $(recap failing)"
book=verdict.yml playbook verdict
[ "$status" -ne 0 ] || fail "the verdict passed with meters not updated"
grep -q "13 meters: .*, 11 updated" "$work/out/verdict.txt" || fail "verdict: $(tail -n 30 "$work/out/verdict.txt")"
grep -q "\"$(addr 2 20): " "$work/out/verdict.txt" && grep -q "\"$(addr 3 4): " "$work/out/verdict.txt" ||
  fail "the verdict did not name the meters: $(tail -n 30 "$work/out/verdict.txt")"
# Each new meter had a run and a retry; each retry found its Modbus port
# closed (one meter waits in its bootloader, the other is gone), so one
# boot-mode request each, and none to the meters already updated.
[ -f "$reports/south.run-003.json" ] && [ -f "$reports/harbour.run-004.json" ] || fail "not retried: $(ls "$reports")"
[ "$(($(modbus_requests) - before))" -eq 2 ] && [ "$(requests_to "$(addr 2 20)")" -eq 1 ] && [ "$(requests_to "$(addr 3 4)")" -eq 1 ] ||
  fail "expected one boot-mode request to each new meter, none to the others"

echo "== the password is in no output, log, report or state"
! grep -rlF -- "$password" "$work/out" "$work/ansible.log" "$work/deploy" "$work/sites" "$work/history" \
  "$work/remote-tmp" "$work/ansible-tmp" 2>/dev/null || fail "the password was found in the files above"
[ -z "$(find "$work/sites" -name password)" ] || fail "a password file was left on a site"
[ -s "$work/history/ethernet-loader/updates.jsonl" ] || fail "no history written where the check looks"

# Every meter of the three sites holds the firmware.
for name in north south named harbour; do kill -INT "${pids[$name]}"; done
for name in north south named harbour; do
  for _ in $(seq 50); do grep -q '"summary"' "$work/sim-$name.out" && break; sleep 0.1; done
  grep -q '"summary"' "$work/sim-$name.out" && ! grep '"summary"' "$work/sim-$name.out" | grep -q '"mismatch"' ||
    fail "$name: $(tail -n 1 "$work/sim-$name.out")"
done
echo "ansible rollout: all cases passed"
