#!/usr/bin/python
# Runs ethernet-loader-cli on one site: the meters of its host list that no
# earlier report of the same firmware shows updated, then up to N rounds of
# --retry-failed. Keeps every report of the site in one folder per firmware,
# so that a second run of the same rollout touches no meter already done.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: ethernet_loader_site
short_description: Update the meters of one site with ethernet-loader-cli
description:
  - Plans from the site's earlier reports of the same firmware which meters still need the update,
    runs C(ethernet-loader-cli update) with C(--report) and C(--expect-sha256) on them and takes up
    failures with C(--retry-failed), round by round.
  - In check mode it sends nothing to a meter. It has the tool check the host list and the firmware's
    SHA-256 (by a pin the firmware cannot have, so that the tool refuses to start), checks the password
    file, tries a TCP connect to each pending meter's Modbus port and says what would be updated.
options:
  cli: {description: The ethernet-loader-cli program., type: str, required: true}
  hosts_file: {description: The site's host list, one address per line., type: path, required: true}
  password_file: {description: File whose first line is the meters' admin password., type: path, required: true}
  image: {description: Firmware image to write instead of the compiled-in one., type: path}
  expect_sha256: {description: The SHA-256 the firmware must have., type: str, required: true}
  report_dir: {description: Folder of this firmware's reports of the site (made when missing)., type: path, required: true}
  retry_rounds: {description: Rounds of C(--retry-failed) after a run in which a meter failed., type: int, default: 1}
  jobs: {description: Meters updated at once (C(--jobs))., type: int}
  modbus_port: {description: Port the dry run connects to., type: int, default: 502}
  connect_timeout: {description: Seconds the dry run waits for each connect., type: float, default: 3}
"""

import glob
import json
import os
import re
import socket
import stat
from concurrent.futures import ThreadPoolExecutor

from ansible.module_utils.basic import AnsibleModule

SUCCEEDED = ("updated",)
REPORT_PATTERN = "run-%03d.json"


def read_hosts(path):
    """The addresses of a host list as the tool reads it: '#' starts a comment."""
    hosts = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            text = line.split("#", 1)[0].strip()
            if text:
                hosts.append(text)
    return hosts


def key(address):
    return address.lower()


def read_reports(report_dir):
    """The site's reports in the order they were written, as (name, json)."""
    reports = []
    for path in sorted(glob.glob(os.path.join(report_dir, "run-[0-9][0-9][0-9].json"))):
        with open(path, encoding="utf-8") as f:
            reports.append((os.path.basename(path), json.load(f)))
    return reports


def latest_results(reports):
    """Per meter, its last result and the report that holds it."""
    latest = {}
    for name, report in reports:
        for meter in report.get("meters", []):
            latest[key(meter["address"])] = (name, meter)
    return latest


def plan(hosts, reports):
    """What a run does: meters never run yet (a new update) and, per report,
    meters whose last result there is a failure (its --retry-failed). Each
    meter stays in one chain of reports, so that merge-reports counts its last
    result only."""
    latest = latest_results(reports)
    fresh = [h for h in hosts if key(h) not in latest]
    retry_from = sorted({latest[key(h)][0] for h in hosts
                         if key(h) in latest and latest[key(h)][1].get("result") not in SUCCEEDED})
    done = [h for h in hosts if key(h) in latest and latest[key(h)][1].get("result") in SUCCEEDED]
    return fresh, retry_from, done


def summary(hosts, reports):
    latest = latest_results(reports)
    counts = {}
    failed = []
    for h in hosts:
        entry = latest.get(key(h))
        result = entry[1].get("result", "unknown") if entry else "not-run"
        counts[result] = counts.get(result, 0) + 1
        if result not in SUCCEEDED:
            message = entry[1].get("message", "") if entry else ""
            failed.append({"address": h, "result": result, "message": message,
                           "report": entry[0] if entry else None})
    return counts, failed


def tail(text, lines=20):
    return "\n".join(text.strip().splitlines()[-lines:])


def check_password_file(path):
    """Why the password file cannot serve, or None; never says the password."""
    try:
        st = os.stat(path)
    except OSError as e:
        return "%s: %s" % (path, e.strerror)
    if st.st_mode & (stat.S_IRWXG | stat.S_IRWXO):
        return "%s: other users may read it (mode %o); it must be readable by its owner only" % (
            path, stat.S_IMODE(st.st_mode))
    with open(path, "rb") as f:
        first = f.read().split(b"\n", 1)[0].rstrip(b"\r")
    try:
        text = first.decode("utf-8")
        text.encode("cp1252")
    except UnicodeError:
        return "%s: the password has a character the meter cannot take (only Windows-1252 characters)" % path
    if not 4 <= len(text) <= 16:
        return "%s: the password must have 4 to 16 characters" % path
    return None


def firmware_check(module, base_args, expected):
    """Has the tool read the host list and the firmware and name the
    firmware's SHA-256. The pin given differs from the expected one in its
    first digit, so the tool refuses before any meter is contacted (no
    password is given either). Returns (sha256 or None, the tool's words)."""
    expected = expected.lower()
    decoy = ("1" if expected[:1] != "1" else "2") + expected[1:]
    rc, out, err = module.run_command(base_args + ["--expect-sha256", decoy])
    found = re.search(r"has the SHA-256 ([0-9a-f]{64})", err)
    if rc != 2:
        module.fail_json(msg="the tool did not refuse a firmware check (exit status %d): %s" % (rc, tail(err)))
    return (found.group(1) if found else None), err.strip()


def reachable(hosts, port, timeout):
    def attempt(host):
        try:
            with socket.create_connection((host, port), timeout=timeout):
                return host, None
        except OSError as e:
            return host, e.strerror or str(e)

    with ThreadPoolExecutor(max_workers=min(64, max(1, len(hosts)))) as pool:
        return [r for r in pool.map(attempt, hosts)]


def main():
    module = AnsibleModule(
        argument_spec=dict(
            cli=dict(type="str", required=True),
            hosts_file=dict(type="path", required=True),
            password_file=dict(type="path", required=True, no_log=False),
            image=dict(type="path"),
            expect_sha256=dict(type="str", required=True),
            report_dir=dict(type="path", required=True),
            retry_rounds=dict(type="int", default=1),
            jobs=dict(type="int"),
            modbus_port=dict(type="int", default=502),
            connect_timeout=dict(type="float", default=3.0),
        ),
        supports_check_mode=True,
    )
    p = module.params
    # The password reaches the tool through its file only.
    os.environ.pop("LOADER_PASSWORD", None)
    sha = p["expect_sha256"].strip().lower()
    if not re.fullmatch(r"[0-9a-f]{64}", sha):
        module.fail_json(msg="expect_sha256: not a SHA-256 (64 hexadecimal digits)")
    hosts = read_hosts(p["hosts_file"])
    report_dir = p["report_dir"]
    reports = read_reports(report_dir) if os.path.isdir(report_dir) else []
    fresh, retry_from, done = plan(hosts, reports)
    pending = [h for h in hosts if h not in done]
    firmware = ["--image", p["image"]] if p["image"] else []
    # "outcome" tells the role how the site ended, since the task itself
    # is not failed (the role fails the host after its cleanup).
    result = dict(changed=False, outcome="error", firmware_sha256=sha, already_updated=done, pending=pending, runs=[])

    if module.check_mode:
        actual, words = firmware_check(module, [p["cli"], "update", "--hosts", p["hosts_file"]] + firmware, sha)
        result["outcome"] = "refused"
        if actual is None:
            module.fail_json(msg="the tool refused the inputs: %s" % words, **result)
        if actual != sha:
            module.fail_json(msg="the firmware has the SHA-256 %s, not %s as pinned; a run would send nothing"
                             % (actual, sha), **result)
        why = check_password_file(p["password_file"])
        if why:
            module.fail_json(msg="password file: " + why, **result)
        checked = reachable(pending, p["modbus_port"], p["connect_timeout"])
        result["unreachable"] = [{"address": h, "error": e} for h, e in checked if e]
        result["would_update"] = [h for h, e in checked if not e]
        result.update(changed=bool(pending), outcome="checked")
        module.exit_json(**result)

    if not os.path.isdir(report_dir):
        os.makedirs(report_dir, mode=0o700)
    common = ["--password-file", p["password_file"], "--expect-sha256", sha] + firmware
    if p["jobs"]:
        common += ["--jobs", str(p["jobs"])]
    rounds = 0
    while fresh or retry_from:
        if rounds > p["retry_rounds"]:
            break
        runs = []
        if fresh:
            hosts_arg = p["hosts_file"]
            if reports:  # only the meters no report holds yet
                hosts_arg = os.path.join(report_dir, "hosts-%03d.txt" % (len(reports) + 1))
                with open(hosts_arg, "w", encoding="utf-8") as f:
                    f.write("".join(h + "\n" for h in fresh))
            runs.append(["--hosts", hosts_arg])
        runs += [["--retry-failed", os.path.join(report_dir, name)] for name in retry_from]
        for selection in runs:
            report = os.path.join(report_dir, REPORT_PATTERN % (len(reports) + 1))
            argv = [p["cli"], "update"] + selection + common + ["--report", report]
            rc, out, err = module.run_command(argv)
            result["runs"].append(dict(cmd=argv, rc=rc, stdout_tail=tail(out), stderr=err.strip()))
            if rc == 2:
                result["outcome"] = "refused"
                module.fail_json(msg="ethernet-loader-cli refused to start; nothing was sent: " + tail(err, 5),
                                 rc=rc, **result)
            if not os.path.exists(report):
                module.fail_json(msg="ethernet-loader-cli (exit status %d) wrote no report: %s" % (rc, tail(err, 5)),
                                 rc=rc, **result)
            result["changed"] = True
            reports = read_reports(report_dir)
        fresh, retry_from, done = plan(hosts, reports)
        rounds += 1

    counts, failed = summary(hosts, reports)
    result.update(reports=[name for name, _ in reports], counts=counts, failed_meters=failed, rounds=rounds)
    result["outcome"] = "meters-failed" if failed else "updated"
    if failed:
        names = ", ".join("%s (%s%s)" % (m["address"], m["result"], ": " + m["message"] if m["message"] else "")
                          for m in failed)
        module.fail_json(msg="%d of %d meters of this site not updated: %s" % (len(failed), len(hosts), names),
                         **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
