"""The storm's "at most one worker at a time" check on trails written by
hand: Wine gives an ended thread's ID to a later thread, and that thread's
events are not the ended worker's."""

import types
import unittest

from service_e2e import CANCEL, CANCELLED, KILL, Storm, WORKER_ENTRY


def event(thread, text):
    return types.SimpleNamespace(thread=thread, text=text, strings=[text])


def check(trail):
    return Storm.one_worker_at_a_time(Storm.__new__(Storm), trail)


class OneWorkerAtATimeTest(unittest.TestCase):

    def test_a_reused_thread_id_is_not_the_ended_worker(self):
        trail = [event("0100", WORKER_ENTRY),
                 event("0100", "Control IO success"),
                 event("0020", CANCEL),
                 event("0100", CANCELLED),
                 # A settle thread given the ended worker's ID.
                 event("0100", "ZR700 Arrival"),
                 event("0200", WORKER_ENTRY),
                 event("0100", "device is gone after the settle wait, "
                               "ignore device arrival"),
                 event("0200", "Control IO success")]
        self.assertEqual(check(trail), "")
        workers = Storm.workers(Storm.__new__(Storm), trail)
        self.assertEqual([(t, span) for t, span in workers],
                         [("0100", [0, 3]), ("0200", [5, 7])])

    def test_a_worker_that_goes_on_after_the_next_began_is_seen(self):
        trail = [event("0100", WORKER_ENTRY),
                 event("0200", WORKER_ENTRY),
                 event("0100", "Control IO success")]
        self.assertIn("still wrote events", check(trail))

    def test_a_worker_not_ended_before_the_next_is_seen(self):
        trail = [event("0100", WORKER_ENTRY),
                 event("0200", WORKER_ENTRY)]
        self.assertIn("began without", check(trail))

    def test_a_killed_worker_is_ended(self):
        trail = [event("0100", WORKER_ENTRY),
                 event("0020", KILL),
                 event("0100", "ZR700 Arrival"),
                 event("0300", WORKER_ENTRY)]
        self.assertEqual(check(trail), "")


if __name__ == "__main__":
    unittest.main()
