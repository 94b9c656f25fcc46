#!/usr/bin/python3
"""A real SMTP server for the tests, built on aiosmtpd.

Listens on 127.0.0.1, writes its port to --port-file once it accepts connections, and stores every
accepted message as <mailbox>/<n>.eml (the raw DATA) with <n>.json beside it (envelope and
login). Offers STARTTLS, or speaks implicit TLS with --implicit-tls. AUTH LOGIN succeeds only
for --user/--password and only over TLS. Runs until killed.
"""
import argparse
import asyncio
import json
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def parse_arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--mailbox", required=True)
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--implicit-tls", action="store_true")
    return parser.parse_args()


class Mailbox:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, str(self.count))
        with open(base + ".eml.part", "wb") as raw:
            raw.write(envelope.original_content or envelope.content)
        with open(base + ".json", "w") as meta:
            json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos,
                       "login": (session.auth_data or b"").decode("utf-8", "replace"),
                       "tls": session.ssl is not None}, meta)
        os.rename(base + ".eml.part", base + ".eml")
        return "250 OK"


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (mechanism == "LOGIN" and isinstance(auth_data, LoginPassword)
              and auth_data.login == user.encode() and auth_data.password == password.encode())
        return AuthResult(success=ok, handled=False, auth_data=auth_data.login if ok else None)
    return authenticate


async def serve(arguments):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(arguments.cert, arguments.key)
    mailbox = Mailbox(arguments.mailbox)

    def factory():
        return SMTP(mailbox, hostname="mail.test",
                    tls_context=None if arguments.implicit_tls else context,
                    authenticator=make_authenticator(arguments.user, arguments.password),
                    auth_require_tls=not arguments.implicit_tls)

    server = await asyncio.get_running_loop().create_server(
        factory, "127.0.0.1", arguments.port,
        ssl=context if arguments.implicit_tls else None)
    with open(arguments.port_file + ".part", "w") as port_file:
        port_file.write(str(server.sockets[0].getsockname()[1]))
    os.rename(arguments.port_file + ".part", arguments.port_file)
    await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(serve(parse_arguments()))
    except KeyboardInterrupt:
        sys.exit(0)
