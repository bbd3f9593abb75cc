"""Checks that a second run of the test suite ran every test the first ran.

    python scripts/compare_test_runs.py FIRST.xml SECOND.xml

Both files are pytest JUnit reports (--junitxml). A test that ran in the
first (passed or failed) but was skipped or missing in the second is an
error, unless the second run skipped it with a reason that begins with
"not under the sanitizers:", which a test gives only where the sanitizers
themselves make it meaningless. Tests skipped in both runs are fine. Exits 1
and names the tests when there are any; CI runs it on the normal run and the
sanitizer run (.ci/run).
"""

from __future__ import annotations

import sys
import xml.etree.ElementTree as ET

ALLOWED_PREFIX = "not under the sanitizers:"


def outcomes(path: str) -> dict[str, tuple[str, str]]:
    """Test id -> (outcome, skip reason); outcome is "ran" or "skipped"."""
    result = {}
    for case in ET.parse(path).getroot().iter("testcase"):
        test_id = f"{case.get('classname', '')}::{case.get('name', '')}"
        skipped = case.find("skipped")
        if skipped is not None:
            result[test_id] = ("skipped", skipped.get("message", ""))
        else:
            result[test_id] = ("ran", "")
    return result


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    first, second = outcomes(argv[0]), outcomes(argv[1])
    missing = []
    for test_id, (outcome, _) in sorted(first.items()):
        if outcome != "ran":
            continue
        other, reason = second.get(test_id, ("missing", ""))
        if other == "ran" or (other == "skipped" and reason.startswith(ALLOWED_PREFIX)):
            continue
        missing.append(f"  {test_id}: {other}" + (f" ({reason})" if reason else ""))
    ran = sum(1 for o, _ in first.values() if o == "ran")
    if missing:
        print(f"compare: {len(missing)} of the {ran} tests that ran in {argv[0]} did not run in {argv[1]}:",
              file=sys.stderr)
        print("\n".join(missing), file=sys.stderr)
        return 1
    print(f"compare: all {ran} tests that ran in {argv[0]} ran in {argv[1]}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
