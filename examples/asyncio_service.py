"""An asyncio service answering requests from an MPMCQueue, stopped cleanly by SIGTERM or SIGINT.

The service awaits get_async and put_async, which never block the event loop;
a client process sends it numbers and checks the squares it gets back. When the
client is done it sends the service SIGTERM; with --serve the service runs on
until it gets SIGTERM or Ctrl-C from elsewhere. The names go when the queues close.
Compare with_multiprocessing/asyncio_service.py.

    python examples/asyncio_service.py [--serve]    # queue names: $MOX_EXAMPLE_NAME + "_requests", "_answers"
"""

import asyncio
import multiprocessing as mp
import os
import signal
import sys

import mox_ipc_queue as mq

NAME = os.environ.get("MOX_EXAMPLE_NAME", f"/mox_example_{os.getpid()}")
REQUESTS = 100


def client(requests: mq.MPMCQueue, answers: mq.MPMCQueue, stop_service: bool) -> None:
    wrong = 0
    for n in range(REQUESTS):
        requests.put(n)
        wrong += answers.get(mq.QDataType.Int, timeout=10) != n * n
    print(f"client: {REQUESTS} requests, {wrong} wrong answers", flush=True)
    if stop_service:
        os.kill(os.getppid(), signal.SIGTERM)
    sys.exit(bool(wrong))


async def serve(requests: mq.MPMCQueue, answers: mq.MPMCQueue) -> int:
    loop, served = asyncio.get_running_loop(), 0
    task = asyncio.current_task()
    assert task is not None  # asyncio.run runs this coroutine as a task
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, task.cancel)
    try:
        while True:
            n = await requests.get_async(mq.QDataType.Int)
            await answers.put_async(n * n)
            served += 1
    except asyncio.CancelledError:  # a signal: a cancelled get_async has taken nothing
        return served


def main() -> None:
    with mq.MPMCQueue(NAME + "_requests", 16, 8) as requests, mq.MPMCQueue(NAME + "_answers", 16, 8) as answers:
        peer = mp.Process(target=client, args=(requests, answers, "--serve" not in sys.argv), daemon=True)
        peer.start()
        served = asyncio.run(serve(requests, answers))
        peer.join()
    print(f"service: stopped after {served} answers; client {'ok' if peer.exitcode == 0 else 'FAILED'}")
    sys.exit(peer.exitcode)


if __name__ == "__main__":
    main()
