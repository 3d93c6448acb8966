"""A run that is not silent, on a workstation without a display: the
confirmation box cannot be shown and the run goes on; with no console to read
from, the final key wait returns at once."""

import unittest

from workstation import NO_PROCESS, VERSION_LINE, WorkstationTestCase, log_runs


class RunWithoutDisplay(WorkstationTestCase):

    def test_clean_workstation_gets_summary_and_key_prompt(self):
        ws = self.workstation()
        # A key wait that blocked would run into the timeout and fail.
        result = self.run_tool(ws, timeout=60)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(self.assertBanner(result.stdout),
                         NO_PROCESS + b"No infection found\r\n"
                         b"press any key to exit ...\r\n")
        self.assertEqual(result.stderr, b"")
        self.assertEqual(len(log_runs(result.log)), 1, result.log)
        self.assertTrue(result.log.startswith(VERSION_LINE), result.log)
        self.assertOneRunLogged(result.log)


if __name__ == "__main__":
    unittest.main()
