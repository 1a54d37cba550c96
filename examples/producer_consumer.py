"""A producer and a consumer process joined by one SPSCQueue.

The producer creates the queue and starts the consumer in a fresh
interpreter, which connects by name. Messages carry no type tag, so both
sides follow a small protocol: first the number of readings as an int, then
that many readings as floats.

    python examples/producer_consumer.py [--name /my_queue] [--count 1000]
"""

import argparse
import multiprocessing as mp
import os
import sys

import mox_ipc_queue as mq

# How long the consumer waits for the next message before it gives up on a
# producer that has gone away, in milliseconds (0 would mean for ever).
READ_TIMEOUT_MS = 10_000


def reading(i: int) -> float:
    """The i-th value the producer sends; the consumer knows nothing of it."""
    return i * 0.5


def consume(name: str) -> None:
    # Connecting completes the pair: an SPSCQueue removes its names now, so
    # no third process can join and nothing is left behind in /dev/shm.
    queue = mq.SPSCQueue(name)

    count = queue.read(mq.QDataType.Int, READ_TIMEOUT_MS)
    if not isinstance(count, int):  # None: nothing arrived in time
        sys.exit("consumer: no message from the producer")

    total = 0.0
    for _ in range(count):
        value = queue.read(mq.QDataType.Float, READ_TIMEOUT_MS)
        if not isinstance(value, float):
            sys.exit("consumer: the producer stopped early")
        total += value
    print(f"consumer: received {count} readings, total {total:.1f}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description="SPSCQueue producer and consumer")
    parser.add_argument("--name", default=f"/mox_example_pc_{os.getpid()}", help="queue name")
    parser.add_argument("--count", type=int, default=1000, help="readings to send")
    args = parser.parse_args()

    # 16 cells of 8 bytes: room for one int or float each. The producer
    # blocks whenever the consumer is 16 messages behind.
    queue = mq.SPSCQueue(args.name, 16, 8, True)
    consumer = mp.get_context("spawn").Process(target=consume, args=(args.name,))
    consumer.start()
    try:
        queue.write(args.count)
        total = 0.0
        for i in range(args.count):
            queue.write(reading(i))
            total += reading(i)
        print(f"producer: sent {args.count} readings, total {total:.1f}", flush=True)
        consumer.join()
    finally:
        if consumer.is_alive():  # only when the producer itself failed
            consumer.kill()
            consumer.join()
        del queue  # the creator's handle removes any name still there
    sys.exit(consumer.exitcode)


if __name__ == "__main__":
    main()
