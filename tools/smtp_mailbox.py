#!/usr/bin/python3
"""A local SMTP server that keeps every mail it receives.

Used by the demo and by the tests. Each mail is appended to an mbox file for
people to read and, with --json, as one JSON line for programs to check.
It prints "listening on PORT" once it accepts connections, and stops on
SIGINT or SIGTERM.
"""
import argparse
import asyncio
import json
import signal
import sys
import time

from aiosmtpd.smtp import SMTP


class Mailbox:
    def __init__(self, mbox_path, json_path):
        self.mbox_path = mbox_path
        self.json_path = json_path

    async def handle_DATA(self, server, session, envelope):
        data = envelope.original_content or b""
        if self.mbox_path:
            self.append_mbox(envelope, data)
        if self.json_path:
            record = {
                "mail_from": envelope.mail_from,
                "rcpt_tos": envelope.rcpt_tos,
                # latin-1 maps every byte to one code point, so the text
                # round-trips to the exact bytes received.
                "data": data.decode("latin-1"),
            }
            with open(self.json_path, "a", encoding="utf-8") as out:
                out.write(json.dumps(record) + "\n")
        return "250 Message accepted for delivery"

    def append_mbox(self, envelope, data):
        stamp = time.asctime(time.gmtime())
        lines = data.replace(b"\r\n", b"\n").split(b"\n")
        # mbox quoting: a body line that starts with "From " would start a new mail.
        quoted = [b">" + l if l.startswith(b"From ") else l for l in lines]
        with open(self.mbox_path, "ab") as out:
            out.write(f"From {envelope.mail_from or 'MAILER-DAEMON'} {stamp}\n".encode())
            out.write(f"X-Envelope-To: {', '.join(envelope.rcpt_tos)}\n".encode())
            out.write(b"\n".join(quoted).rstrip(b"\n") + b"\n\n")


async def serve(args):
    handler = Mailbox(args.mailbox, args.json)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="localhost"), args.host, args.port)
    port = server.sockets[0].getsockname()[1]
    print(f"listening on {port}", flush=True)
    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    server.close()
    await server.wait_closed()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=2600, help="0 picks a free port")
    parser.add_argument("--mailbox", help="mbox file to append each mail to")
    parser.add_argument("--json", help="file to append each mail to as a JSON line")
    args = parser.parse_args()
    try:
        asyncio.run(serve(args))
    except OSError as err:
        print(f"smtp_mailbox: cannot listen on {args.host}:{args.port}: {err.strerror}",
              file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
