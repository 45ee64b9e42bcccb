#!/usr/bin/python3
# A TCP relay that holds every byte for a fixed time each way: the patch bench's round trip on a link.
# Usage: delay_relay.py DELAY_MS PORT=UNIX_SOCKET...   (listens on 127.0.0.1:PORT; runs until killed)
#        delay_relay.py --probe PORT PATH   (the median time, in ms, of a HEAD of PATH on a kept connection)
# The kernel has no netem here, so the delay is added in user space; the rate is tbf's, on the
# loopback of the namespace this runs in. The server side is a Unix socket so that only the
# relay's leg to the client crosses that loopback and its rate limit (a TCP leg to the server
# would cross it too and halve the rate).
import asyncio
import socket
import sys
import time

CHUNK = 262144
QUEUED_CHUNKS = 16  # held per direction before the relay stops reading (back pressure, 4 MiB)


async def pump(reader, writer, delay, first_extra):
    """Carries one direction, each chunk released delay seconds after it came in."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue(QUEUED_CHUNKS)

    async def send():
        while True:
            due, data = await queue.get()
            pause = due - loop.time()
            if pause > 0:
                await asyncio.sleep(pause)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    sender = asyncio.create_task(send())
    extra = first_extra  # the handshake's round trip, which the relay's own accept skipped
    try:
        while not sender.done():
            data = await reader.read(CHUNK)
            await queue.put((loop.time() + delay + extra, data))
            extra = 0
            if not data:
                break
        await sender
    except (ConnectionError, OSError):
        sender.cancel()


async def relay(client_reader, client_writer, target, delay):
    sock = client_writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        up_reader, up_writer = await asyncio.open_unix_connection(target)
    except OSError:
        client_writer.close()
        return
    try:
        await asyncio.gather(pump(client_reader, up_writer, delay, 2 * delay),
                             pump(up_reader, client_writer, delay, 0))
    finally:
        client_writer.close()
        up_writer.close()


async def main():
    if len(sys.argv) < 3:
        sys.exit("usage: delay_relay.py DELAY_MS PORT=UNIX_SOCKET...")
    delay = int(sys.argv[1]) / 1000.0
    servers = []
    for route in sys.argv[2:]:
        port, target = route.split("=", 1)
        servers.append(await asyncio.start_server(
            lambda r, w, target=target: relay(r, w, target, delay), "127.0.0.1", int(port), limit=CHUNK))
    print("ready", flush=True)
    await asyncio.gather(*(s.serve_forever() for s in servers))


def probe(port, path):
    times = []
    with socket.create_connection(("127.0.0.1", port), timeout=10) as conn:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for _ in range(7):
            start = time.monotonic()
            conn.sendall(b"HEAD %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path.encode())
            answer = b""
            while b"\r\n\r\n" not in answer:
                more = conn.recv(4096)
                if not more:
                    sys.exit("probe: the connection closed")
                answer += more
            times.append(time.monotonic() - start)
    print("%.1f" % (sorted(times)[len(times) // 2] * 1000))


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--probe":
        probe(int(sys.argv[2]), sys.argv[3])
    else:
        asyncio.run(main())
