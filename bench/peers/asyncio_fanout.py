#!/usr/bin/env python3
"""The plain asyncio server the benchmarks set beside Ombrix: it plays a ttyrec file to
every TCP client at once, each frame on an absolute deadline (its recorded time divided by
the speed). Playback starts when VIEWERS clients are connected; output waits in each
transport's own buffer, so nothing is dropped.

Usage: asyncio_fanout.py FILE PORT SPEED VIEWERS
"""
import asyncio
import struct
import sys


def frames(path):
    data = open(path, 'rb').read()
    at = 0
    while at + 12 <= len(data):
        seconds, micros, length = struct.unpack_from('<iiI', data, at)
        yield seconds + micros / 1e6, data[at + 12:at + 12 + length]
        at += 12 + length


async def main():
    path, port, speed, wanted = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
    writers = []
    everyone = asyncio.Event()

    async def viewer(reader, writer):
        writers.append(writer)
        if len(writers) >= wanted:
            everyone.set()
        await reader.read()  # until the viewer leaves
        writers.remove(writer)
        writer.close()

    await asyncio.start_server(viewer, '127.0.0.1', port, backlog=4096)
    await everyone.wait()
    loop = asyncio.get_running_loop()
    start = first = None
    for stamp, body in frames(path):
        if start is None:
            start, first = loop.time(), stamp
        delay = start + (stamp - first) / speed - loop.time()
        if delay > 0:
            await asyncio.sleep(delay)
        for writer in writers:
            writer.write(body)
    await asyncio.Event().wait()  # serve until stopped


asyncio.run(main())
