"""One worker thread per request body: it makes the Upload, feeds it every
piece and finishes it, while the event loop goes on reading the body.

The pieces pass through a buffer bounded in bytes. Putting a piece is a
lock and a notify; the loop waits only while the buffer is full, and only
then does the worker call back into the loop (to say there is room again),
so a body costs one thread hand-off, not one per piece.
"""
import collections
import threading

import anyio
import anyio.from_thread
import anyio.to_thread


class DiskWorker:
    """Feeds an Upload from a worker thread. Use from one task:

        worker = DiskWorker(lambda: zimrax.Upload(...), max_pending_bytes, limiter)
        async with anyio.create_task_group() as group:
            group.start_soon(worker.run)
            ... await worker.put(piece) ...; worker.end()   # or worker.cancel()
        worker.outcome

    REQUIRES: end() or cancel() is called before the task group is left, or
    the worker waits for pieces forever."""

    def __init__(self, make_upload, max_pending_bytes, limiter=None):
        self._make_upload = make_upload
        self._limiter = limiter
        self._max_pending = max(1, max_pending_bytes)
        self._lock = threading.Condition()
        self._pieces = collections.deque()
        self._pending_bytes = 0
        self._ended = False
        self._cancelled = False
        self._room = None  # an anyio.Event the loop waits on while the buffer is full
        self.outcome = None

    async def run(self):
        """The task that runs the worker thread; sets outcome once finished.
        Not cancellable while the thread runs: cancel() ends it promptly."""
        self.outcome = await anyio.to_thread.run_sync(self._work, limiter=self._limiter)

    async def put(self, piece):
        """Hands one piece to the worker; waits while the buffer is full."""
        if not piece:
            return
        while True:
            with self._lock:
                if self._pending_bytes < self._max_pending or self._cancelled:
                    self._pieces.append(piece)
                    self._pending_bytes += len(piece)
                    self._lock.notify()
                    return
                room = self._room = anyio.Event()
            await room.wait()

    def end(self):
        """No more pieces: the worker finishes the Upload."""
        with self._lock:
            self._ended = True
            self._lock.notify()

    def cancel(self):
        """The worker aborts the Upload (nothing is left behind) and stops."""
        with self._lock:
            self._cancelled = True
            self._lock.notify()

    def _work(self):
        with self._make_upload() as upload:
            while True:
                with self._lock:
                    while not self._pieces and not self._ended and not self._cancelled:
                        self._lock.wait()
                    if self._cancelled:
                        return None  # leaving the with block aborts
                    if not self._pieces:
                        break
                    batch = list(self._pieces)
                    self._pieces.clear()
                try:
                    for piece in batch:
                        upload.feed(piece)
                finally:
                    self._taken(sum(len(piece) for piece in batch))
            return upload.finish()

    def _taken(self, count):
        with self._lock:
            self._pending_bytes -= count
            room = self._wake_loop_locked() if self._pending_bytes < self._max_pending else None
        if room is not None:
            anyio.from_thread.run_sync(room.set)

    def _wake_loop_locked(self):
        room, self._room = self._room, None
        return room
