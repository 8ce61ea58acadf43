#!/usr/bin/python
# Runs ethernet-loader-cli on one site: the meters of its host list that no
# earlier report of the same firmware shows updated, then up to N rounds of
# --retry-failed. Keeps every report of the site in one folder per firmware,
# so that a second run of the same rollout touches no meter already done.
# Which meters a host list holds, and whether a run could start at all, is
# the tool's to say (its "plan"): a second reading here would drift from it.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: ethernet_loader_site
short_description: Update the meters of one site with ethernet-loader-cli
description:
  - Has C(ethernet-loader-cli plan update) list the site's meters (ranges expanded, names resolved)
    and refuse what a run would refuse, plans from the site's earlier reports of the same firmware which
    meters still need the update, runs C(ethernet-loader-cli update) with C(--report) and
    C(--expect-sha256) on them and takes up failures with C(--retry-failed), round by round.
  - In check mode it sends nothing to a meter. The tool's plan checks the host list, the firmware's SHA-256
    and the password file, and with C(--connect) tries a TCP connect to each pending meter's Modbus port;
    the module says what would be updated.
options:
  cli: {description: The ethernet-loader-cli program., type: str, required: true}
  hosts_file: {description: The site's host list (C(--hosts)) as the tool reads it., type: path, required: true}
  password_file: {description: File whose first line is the meters' admin password., type: path, required: true}
  image: {description: Firmware image to write instead of the compiled-in one., type: path}
  expect_sha256: {description: The SHA-256 the firmware must have., type: str, required: true}
  report_dir: {description: Folder of this firmware's reports of the site (made when missing)., type: path, required: true}
  retry_rounds: {description: Rounds of C(--retry-failed) after a run in which a meter failed., type: int, default: 1}
  jobs: {description: Meters updated at once (C(--jobs))., type: int}
  connect_timeout_ms: {description: Milliseconds each meter's Modbus connection may take (C(--connect-timeout))., type: int}
  back_within: {description: Seconds each meter may take to answer again after its reset (C(--back-within)); 0 ends at the reset., type: int}
  expect_revision: {description: The firmware revision each meter must report when back (C(--expect-revision))., type: str}
"""

import glob
import json
import os

from ansible.module_utils.basic import AnsibleModule

SUCCEEDED = ("updated",)
REPORT_PATTERN = "run-%03d.json"
TOOL_PREFIX = "ethernet-loader-cli: "


def tail(text, lines=20):
    return "\n".join(text.strip().splitlines()[-lines:])


class Refused(Exception):
    """The tool would not start the run; the words are the tool's."""


def ask_plan(module, cli, args):
    """The tool's plan of `update ARGS`: the parsed JSON. Raises Refused with
    the tool's refusals; fails the module when the tool gives no plan."""
    rc, out, err = module.run_command([cli, "plan", "update"] + args)
    try:
        plan = json.loads(out)
    except ValueError:
        plan = None
    if rc == 2:
        refusals = (plan or {}).get("refusals") or []
        # A usage error (an option out of range, a tool without "plan")
        # comes before any plan, on stderr only.
        words = "; ".join(refusals) if refusals else tail(err.replace(TOOL_PREFIX, ""), 5)
        raise Refused(words)
    if rc != 0 or not isinstance(plan, dict) or plan.get("refusals"):
        module.fail_json(msg="ethernet-loader-cli gave no plan (exit status %d): %s" % (rc, tail(err, 5)),
                         outcome="error")
    return plan


class Meters:
    """The site's meters as the tool's plan names them. A report names a
    meter the way the host list did when it ran, so a meter is found by its
    address as the plan gives it or by the address its name resolves to."""

    def __init__(self, plan):
        self.addresses = [m["address"] for m in plan.get("meters", [])]
        self.index = {}
        for i, m in enumerate(plan.get("meters", [])):
            self.index.setdefault(m["address"].lower(), i)
            if m.get("resolved"):
                self.index.setdefault(m["resolved"].lower(), i)

    def find(self, address):
        return self.index.get(str(address).lower())


def read_reports(report_dir):
    """The site's reports in the order they were written, as (name, json)."""
    reports = []
    for path in sorted(glob.glob(os.path.join(report_dir, "run-[0-9][0-9][0-9].json"))):
        with open(path, encoding="utf-8") as f:
            reports.append((os.path.basename(path), json.load(f)))
    return reports


def result_chains(meters, reports):
    """Per site meter (its index), its results in the order they were written,
    each with the report that holds it: [(name, entry), ...]."""
    chains = {}
    for name, report in reports:
        for entry in report.get("meters", []):
            i = meters.find(entry.get("address", ""))
            if i is not None:
                chains.setdefault(i, []).append((name, entry))
    return chains


def latest_results(meters, reports):
    """Per site meter (its index), its last result and the report that holds it."""
    return {i: chain[-1] for i, chain in result_chains(meters, reports).items()}


def plan_rounds(meters, reports):
    """What a run does: meters never run yet (a new update) and, per report,
    meters whose last result there is a failure (its --retry-failed). Each
    meter stays in one chain of reports, so that merge-reports counts its last
    result only."""
    latest = latest_results(meters, reports)
    everyone = range(len(meters.addresses))
    fresh = [i for i in everyone if i not in latest]
    retry_from = sorted({latest[i][0] for i in latest if latest[i][1].get("result") not in SUCCEEDED})
    done = [i for i in everyone if i in latest and latest[i][1].get("result") in SUCCEEDED]
    return fresh, retry_from, done


def summary(meters, reports):
    chains = result_chains(meters, reports)
    counts = {}
    failed = []
    for i, address in enumerate(meters.addresses):
        chain = chains.get(i, [])
        entry = chain[-1] if chain else None
        result = entry[1].get("result", "unknown") if entry else "not-run"
        counts[result] = counts.get(result, 0) + 1
        if result not in SUCCEEDED:
            message = entry[1].get("message", "") if entry else ""
            # A retry can hide what the meter went through: written and reset
            # but not back (not-back), its retry then finds nothing to talk to
            # (unreachable). The earlier results keep that in view.
            before = [{"report": name, "result": e.get("result", "unknown")} for name, e in chain[:-1]
                      if e.get("result") != result]
            failed.append({"address": address, "result": result, "message": message,
                           "report": entry[0] if entry else None, "earlier": before})
    return counts, failed


def describe(meter):
    """A failed meter as the site's message names it: its address, then its
    earlier results when they differ from its last, then the last."""
    words = meter["result"] + (": " + meter["message"] if meter["message"] else "")
    if meter["earlier"]:
        words = ", ".join("%s in %s" % (e["result"], e["report"]) for e in meter["earlier"]) + ", then " + words
    return "%s (%s)" % (meter["address"], words)


def write_hosts(path, addresses):
    with open(path, "w", encoding="utf-8") as f:
        f.write("".join(a + "\n" for a in addresses))


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
            connect_timeout_ms=dict(type="int"),
            back_within=dict(type="int"),
            expect_revision=dict(type="str"),
        ),
        supports_check_mode=True,
    )
    p = module.params
    # The password reaches the tool through its file only.
    os.environ.pop("LOADER_PASSWORD", None)
    sha = p["expect_sha256"].strip().lower()
    common = ["--password-file", p["password_file"], "--expect-sha256", sha]
    if p["image"]:
        common += ["--image", p["image"]]
    if p["jobs"]:
        common += ["--jobs", str(p["jobs"])]
    if p["connect_timeout_ms"]:
        common += ["--connect-timeout", str(p["connect_timeout_ms"])]
    # 0 is a choice of its own (end at the reset), so only absence leaves the tool's default.
    if p["back_within"] is not None:
        common += ["--back-within", str(p["back_within"])]
    if p["expect_revision"]:
        common += ["--expect-revision", p["expect_revision"]]
    # "outcome" tells the role how the site ended, since the task itself
    # is not failed (the role fails the host after its cleanup).
    result = dict(changed=False, outcome="error", firmware_sha256=sha, runs=[])
    verb = "would refuse to start" if module.check_mode else "refused to start; nothing was sent"

    try:
        site_plan = ask_plan(module, p["cli"], ["--hosts", p["hosts_file"]] + common)
    except Refused as e:
        result["outcome"] = "refused"
        module.fail_json(msg="ethernet-loader-cli %s: %s" % (verb, e), **result)
    meters = Meters(site_plan)
    result["firmware_sha256"] = (site_plan.get("firmware") or {}).get("sha256") or sha
    report_dir = p["report_dir"]
    reports = read_reports(report_dir) if os.path.isdir(report_dir) else []
    fresh, retry_from, done = plan_rounds(meters, reports)
    pending = [a for i, a in enumerate(meters.addresses) if i not in done]
    result.update(meters=meters.addresses, already_updated=[meters.addresses[i] for i in done], pending=pending)

    if module.check_mode:
        checked = []
        if pending:
            pending_file = os.path.join(module.tmpdir, "pending-hosts.txt")
            write_hosts(pending_file, pending)
            try:
                checked = ask_plan(module, p["cli"], ["--hosts", pending_file, "--connect"] + common)["meters"]
            except Refused as e:
                result["outcome"] = "refused"
                module.fail_json(msg="ethernet-loader-cli %s: %s" % (verb, e), **result)
        # Not "unreachable": Ansible takes a result with that key for a site
        # host it could not reach, and drops the host from the play.
        result["unreachable_meters"] = [{"address": m["address"], "error": (m.get("connect") or {}).get("problem")}
                                 for m in checked if not (m.get("connect") or {}).get("connected")]
        result["would_update"] = [m["address"] for m in checked if (m.get("connect") or {}).get("connected")]
        result.update(changed=bool(pending), outcome="checked")
        module.exit_json(**result)

    if not os.path.isdir(report_dir):
        os.makedirs(report_dir, mode=0o700)
    rounds = 0
    while fresh or retry_from:
        if rounds > p["retry_rounds"]:
            break
        runs = []
        if fresh:
            hosts_arg = p["hosts_file"]
            if reports:  # only the meters no report holds yet
                hosts_arg = os.path.join(report_dir, "hosts-%03d.txt" % (len(reports) + 1))
                write_hosts(hosts_arg, [meters.addresses[i] for i in fresh])
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
        fresh, retry_from, done = plan_rounds(meters, reports)
        rounds += 1

    counts, failed = summary(meters, reports)
    result.update(reports=[name for name, _ in reports], counts=counts, failed_meters=failed, rounds=rounds)
    result["outcome"] = "meters-failed" if failed else "updated"
    if failed:
        names = ", ".join(describe(m) for m in failed)
        module.fail_json(msg="%d of %d meters of this site not updated: %s" % (len(failed), len(meters.addresses),
                                                                                 names), **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
