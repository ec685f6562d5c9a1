"""A TCP proxy on 127.0.0.1 that delays each direction of every connection
by a fixed time and keeps the order of the bytes: a slow link for the
latency benchmark where no network namespace with netem can be made.

    delay_proxy.py LISTEN_PORT TARGET_PORT DELAY_MS PORT_FILE

Listens on 127.0.0.1:LISTEN_PORT (0: a free port), writes the port it
listens on to PORT_FILE once it accepts connections, and forwards each
connection to 127.0.0.1:TARGET_PORT. Every chunk read on one side is
written to the other DELAY_MS milliseconds after it arrived; the end of a
side is passed on the same way. Runs until it is terminated.
Not for: tests, or any address but 127.0.0.1.
"""
import asyncio
import os
import signal
import sys


async def pump(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    sender = asyncio.create_task(deliver())
    try:
        while True:
            data = await reader.read(65536)
            queue.put_nowait((loop.time() + delay, data or None))
            if not data:
                break
        await sender
    except (ConnectionError, asyncio.CancelledError):
        sender.cancel()


async def main(listen_port, target_port, delay, port_file):
    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        for w in (client_writer, server_writer):
            sock = w.get_extra_info("socket")
            if sock is not None:
                import socket
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        await asyncio.gather(pump(client_reader, server_writer, delay),
                             pump(server_reader, client_writer, delay),
                             return_exceptions=True)
        for w in (client_writer, server_writer):
            w.close()

    server = await asyncio.start_server(handle, "127.0.0.1", listen_port)
    port = server.sockets[0].getsockname()[1]
    with open(port_file + ".tmp", "w") as f:
        f.write(str(port))
    os.rename(port_file + ".tmp", port_file)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    await stop.wait()
    server.close()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]) / 1000, sys.argv[4]))
