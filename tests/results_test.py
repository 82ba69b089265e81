#!/usr/bin/env python3
"""scripts/lib/results.py and scripts/compare: reading a real vecmat report strictly, the record
of a failed run, and the verdicts of the comparison. Usage: results_test.py VECMAT"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts", "lib"))
import results  # noqa: E402

VECMAT = None


def record(gpu="NVIDIA H100", **medians):
    """A record with one gputune time per keyword: NAME=(median, spread in percent)."""
    lines = [{"section": "Бенчмарк копирования памяти", "label": name, "unit": "ms", "kind": "time",
              "median": median, "spread_percent": spread} for name, (median, spread) in medians.items()]
    return {"record": results.RECORD, "version": results.VERSION, "ok": True, "build": "cuda", "runs": 5,
            "gpu": {"name": gpu, "compute_capability": "9.0"}, "toolkit": {"version": "13.0.88"},
            "programs": [{"name": "gputune", "lines": lines}]}


class ReadingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.output = subprocess.run([VECMAT], stdout=subprocess.PIPE, check=True).stdout.decode("utf-8")

    def test_real_report_reads_and_each_value_is_its_line(self):
        read = results.parse_report("vecmat", self.output)
        printed = self.output.splitlines()
        self.assertEqual(len(read), 8)
        for (form, _, value), text in zip(read, printed):
            self.assertEqual(value, float(text.split(": ")[-1].split(" ")[0]), text)
        entries = results.build_program("vecmat", [self.output, self.output])
        dot = entries[0]
        self.assertEqual(dot["bytes"], [8388608, 8388608])
        self.assertAlmostEqual(dot["throughput_gb_s"]["median"], 8388608 / dot["median"] / 1e6)
        self.assertIsNone(entries[2]["throughput_gb_s"])  # Thrust: a whole-call time

    def test_a_changed_or_missing_line_is_an_error_that_quotes_it(self):
        printed = self.output.splitlines(True)
        bad = printed[4].replace(" мс", " ms")
        with self.assertRaises(results.Failure) as caught:
            results.parse_report("vecmat", "".join(printed[:4] + [bad] + printed[5:]))
        self.assertIn("line 5 as %r" % bad.rstrip("\n"), str(caught.exception))
        with self.assertRaisesRegex(results.Failure, "printed 7 lines; its report has 8"):
            results.parse_report("vecmat", "".join(printed[:7]))
        with self.assertRaisesRegex(results.Failure, "a line after its 8"):
            results.parse_report("vecmat", self.output + "0\n")

    def test_a_failed_program_makes_a_failed_record_and_exit_1(self):
        with tempfile.TemporaryDirectory() as work:
            os.mkdir(os.path.join(work, "bin"))
            # vecmat's real first lines, then a failure as the programs report one.
            head = "".join(self.output.splitlines(True)[:2])
            for program, script in (("vecmat", "printf '%s'; echo 'vecmat: cudaMalloc: out of memory' >&2; exit 1"
                                     % head), ("gputune", "exit 0")):
                with open(os.path.join(work, "bin", program), "w") as f:
                    f.write("#!/bin/sh\n" + script + "\n")
                os.chmod(os.path.join(work, "bin", program), 0o755)
            path = os.path.join(work, "r.json")
            done = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "lib", "results.py"), "run", "--build",
                                   work, "--kind", "host", "--repeat", "3", "--json", path],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
            self.assertEqual(done.returncode, 1)
            self.assertEqual(done.stdout, head)
            self.assertIn("vecmat: cudaMalloc: out of memory\n", done.stderr)
            self.assertIn("run: vecmat failed in run 1 of 3 (exit status 1)", done.stderr)
            with open(path) as f:
                kept = json.load(f)
            self.assertFalse(kept["ok"])
            self.assertEqual([p["lines"] for p in kept["programs"]], [[], []])
            compared = self.compare(path, path)
            self.assertEqual(compared.returncode, 1)
            self.assertIn("records a failed run", compared.stderr)

    def compare(self, *arguments):
        return subprocess.run([os.path.join(ROOT, "scripts", "compare")] + list(arguments),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)


class CompareTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.addCleanup(self.work.cleanup)

    def write(self, name, content):
        path = os.path.join(self.work.name, name)
        with open(path, "w") as f:
            json.dump(content, f)
        return path

    def compare(self, *arguments):
        return ReadingTest.compare(self, *arguments)

    def row(self, output, label):
        return [text for text in output.splitlines() if label in text][0]

    def test_verdicts_and_fail_if_slower(self):
        old = self.write("old.json", record(**{"H2D pinned time": (10.0, 5.0), "D2H pinned time": (10.0, 5.0)}))
        # H2D 30 % slower, beyond both spreads; D2H 8 % slower, inside the new run's spread of 10 %.
        new = self.write("new.json", record(**{"H2D pinned time": (13.0, 4.0), "D2H pinned time": (10.8, 10.0)}))
        done = self.compare(old, new, "--fail-if-slower", "10")
        self.assertEqual(done.returncode, 1)
        self.assertRegex(self.row(done.stdout, "H2D"), r" 10 +13 +1\.300  slower$")
        self.assertTrue(self.row(done.stdout, "D2H").endswith("within noise"))
        self.assertIn("slower by more than 10 % and beyond the noise: gputune H2D pinned time (+30.0 %)", done.stderr)
        self.assertEqual(self.compare(old, new, "--fail-if-slower", "40").returncode, 0)
        self.assertTrue(self.row(self.compare(new, old).stdout, "H2D").endswith("faster"))
        self.assertEqual(self.compare(old, new).stderr, "")

    def test_warns_of_another_gpu_and_refuses_what_is_no_record(self):
        old = self.write("old.json", record(**{"H2D pinned time": (10.0, 5.0)}))
        new = self.write("new.json", record(gpu="NVIDIA H200", **{"H2D pinned time": (10.0, 5.0)}))
        done = self.compare(old, new)
        self.assertEqual(done.returncode, 0)
        self.assertTrue(done.stderr.startswith("warning: the records come from different GPUs: NVIDIA H100"))
        broken = self.write("broken.json", {"programs": []})
        done = self.compare(old, broken)
        self.assertEqual((done.returncode, done.stderr), (1, "compare: %s is not a record of scripts/run --json\n" % broken))


if __name__ == "__main__":
    VECMAT = sys.argv.pop(1)
    unittest.main()
