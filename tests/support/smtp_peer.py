"""A recording mail server for the tests (aiosmtpd), and a MIME part extractor (email).

serve HOST PORT DIR [--reject-rcpt]
    Listens on HOST:PORT. Each finished transaction N is written to DIR as N.eml (the message
    data as received, transparency dots removed) and then N.env (helo, mail from and every
    rcpt to, one per line), so a test that sees N.env sees the whole transaction. With
    --reject-rcpt every RCPT is answered "550 5.1.1 No such user" and nothing is recorded.
    Prints "ready" once listening and runs until killed.

parts EML OUTDIR
    Parses EML with Python's email package and writes each leaf part's decoded payload to
    OUTDIR/N, printing one line per part: "N<TAB>content type<TAB>filename or -".
    Prints "defects<TAB>count" for the message's own defects first.
"""
import os
import sys
import time


def serve(host, port, directory, reject_rcpt):
    from aiosmtpd.controller import Controller

    class Recorder:
        def __init__(self):
            self.count = 0

        async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
            if reject_rcpt:
                return "550 5.1.1 No such user"
            envelope.rcpt_tos.append(address)
            return "250 OK"

        async def handle_DATA(self, server, session, envelope):
            self.count += 1
            base = os.path.join(directory, str(self.count))
            with open(base + ".eml.part", "wb") as f:
                f.write(envelope.original_content or b"")
            os.rename(base + ".eml.part", base + ".eml")
            lines = ["helo " + str(session.host_name), "from " + str(envelope.mail_from)]
            lines += ["to " + r for r in envelope.rcpt_tos]
            with open(base + ".env.part", "w") as f:
                f.write("\n".join(lines) + "\n")
            os.rename(base + ".env.part", base + ".env")
            return "250 OK queued"

    controller = Controller(Recorder(), hostname=host, port=port)
    controller.start()
    print("ready", flush=True)
    try:
        while True:
            time.sleep(3600)
    finally:
        controller.stop()


def parts(eml, outdir):
    import email
    from email import policy

    with open(eml, "rb") as f:
        message = email.message_from_binary_file(f, policy=policy.compat32)
    print("defects\t%d" % len(message.defects))
    n = 0
    for part in message.walk():
        if part.is_multipart():
            continue
        n += 1
        payload = part.get_payload(decode=True) or b""
        with open(os.path.join(outdir, str(n)), "wb") as f:
            f.write(payload)
        print("%d\t%s\t%s" % (n, part.get_content_type(), part.get_filename() or "-"))


def main():
    if len(sys.argv) >= 5 and sys.argv[1] == "serve":
        serve(sys.argv[2], int(sys.argv[3]), sys.argv[4], "--reject-rcpt" in sys.argv[5:])
    elif len(sys.argv) == 4 and sys.argv[1] == "parts":
        parts(sys.argv[2], sys.argv[3])
    else:
        print(__doc__, file=sys.stderr)
        sys.exit(2)


if __name__ == "__main__":
    main()
