"""asyncio_service.py written with multiprocessing.Queue, for comparison: its get() would block
the event loop, so a thread takes the requests and hands them over with call_soon_threadsafe.

    python examples/with_multiprocessing/asyncio_service.py [--serve]
"""

import asyncio
import multiprocessing as mp
import os
import signal
import sys
import threading

REQUESTS = 100


def client(requests: "mp.Queue[int]", answers: "mp.Queue[int]", stop_service: bool) -> None:
    wrong = 0
    for n in range(REQUESTS):
        requests.put(n)
        wrong += answers.get(timeout=10) != n * n
    print(f"client: {REQUESTS} requests, {wrong} wrong answers", flush=True)
    if stop_service:
        os.kill(os.getppid(), signal.SIGTERM)
    sys.exit(bool(wrong))


async def serve(requests: "mp.Queue[int]", answers: "mp.Queue[int]") -> int:
    loop, served, inbox = asyncio.get_running_loop(), 0, asyncio.Queue[int]()
    task = asyncio.current_task()
    assert task is not None  # asyncio.run runs this coroutine as a task
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, task.cancel)

    def take() -> None:  # a daemon thread: it stays blocked in get() until the process exits
        while True:
            loop.call_soon_threadsafe(inbox.put_nowait, requests.get())

    threading.Thread(target=take, daemon=True).start()
    try:
        while True:
            n = await inbox.get()
            answers.put(n * n)
            served += 1
    except asyncio.CancelledError:
        return served


def main() -> None:
    requests: "mp.Queue[int]" = mp.Queue()
    answers: "mp.Queue[int]" = mp.Queue()
    peer = mp.Process(target=client, args=(requests, answers, "--serve" not in sys.argv), daemon=True)
    peer.start()
    served = asyncio.run(serve(requests, answers))
    peer.join()
    print(f"service: stopped after {served} answers; client {'ok' if peer.exitcode == 0 else 'FAILED'}")
    sys.exit(peer.exitcode)


if __name__ == "__main__":
    main()
