"""Whether a call releases the interpreter lock while it works.

Another thread counts in a loop that gives the lock back each turn. With a
long switch interval it is never scheduled while the calling thread holds the
lock, so its counter can move during the call only while the call has the lock
released.
"""

import sys
import threading
import time


def counted_during(call):
    """(call's result, how often the other thread counted during it)."""
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1
            time.sleep(1e-4)  # gives the lock back each time

    interval = sys.getswitchinterval()
    worker = threading.Thread(target=count)
    worker.start()
    try:
        time.sleep(0.01)
        sys.setswitchinterval(100.0)
        time.sleep(0.01)  # let the thread start waiting under the long interval
        before = counter[0]
        result = call()
        during = counter[0] - before
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        worker.join()
    return result, during
