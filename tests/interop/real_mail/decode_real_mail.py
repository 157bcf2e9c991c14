#!/usr/bin/python3
"""What Python's email package decodes from each message of the real-mail set.

    decode_real_mail.py MESSAGE_FOLDER OUTPUT_FOLDER FAX_RECIPIENT

For each MESSAGE_FOLDER/NAME.eml it writes into OUTPUT_FOLDER:
  NAME.eml      the message as it goes over SMTP: without a leading mbox "From " line, with
                CR LF line ends, ending in a line end (not yet dot-stuffed);
  NAME.parts    the parts the gateway's decoder keeps and Python's decoding of each (see
                tests/support/email_reference.py); the name is Python's full reading of the
                file name (RFC 2231 parameters and continuations included), as the bytes the
                message carries: the charset of an RFC 2231 name is not applied; HTML parts
                with a file name or an attachment disposition count as attachments;
  NAME.subject  the hex of the subject the envelope is expected to carry, written only when
                the top-level header block has a sender (the gateway then writes its group
                first) and Python can decode the subject: the last Subject header, unfolded as
                the gateway unfolds (a line end before a TAB goes with the TAB, one before a
                blank goes alone, one before anything else ends the value), its encoded words
                decoded to the bytes they carry, charsets not applied;
  NAME.recipients  under the same condition, the fax recipients the envelope is expected to
                name in that group: every address of the top-level To and Cc headers (groups
                read through) equal, ignoring case, to FAX_RECIPIENT (the address the test
                names in RCPT TO), in lower case, one a line, each once.
"""

import email
import email.header
import email.policy
import email.utils
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "support"))
from email_reference import write_parts  # noqa: E402


class RawHeaders(email.policy.Compat32):
    """compat32, but header values come back as the message carries them: 8-bit bytes stay
    (surrogate-escaped) instead of being replaced, so a raw 8-bit file name can be compared."""

    def header_fetch_parse(self, name, value):
        return value


RAW_HEADERS = RawHeaders()


def smtp_bytes(data):
    if data.startswith(b"From "):  # an mbox separator: no mail host sends it over SMTP
        data = data[data.find(b"\n") + 1:]
    data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return data if data.endswith(b"\r\n") else data + b"\r\n"


def header_bytes(text):
    return text.encode("ascii", "surrogateescape")


def raw_name(part):
    """The file name as the message carries it: disposition filename first, then name."""
    for header, param in (("content-disposition", "filename"), ("content-type", "name")):
        value = part.get_param(param, header=header)
        if value is None:
            continue
        if isinstance(value, tuple):  # RFC 2231: the value holds one byte per character
            return value[2].encode("latin-1", "surrogateescape")
        return header_bytes(value)
    return None


def unfold(value):
    value = value.replace("\r\n", "\n")
    while True:
        at = value.find("\n")
        if at < 0:
            return value
        if value[at + 1:at + 2] == "\t":
            value = value[:at] + value[at + 2:]
        elif value[at + 1:at + 2] == " ":
            value = value[:at] + value[at + 1:]
        else:
            return value[:at]


def expected_subject(parsed):
    headers = [(name.lower(), value) for name, value in parsed.raw_items()]
    if not has_sender(parsed):
        return None
    subjects = [value for name, value in headers if name == "subject"]
    if not subjects:
        return b""
    value = unfold(subjects[-1]).lstrip(" \t")
    try:
        pieces = email.header.decode_header(value)
    except (email.errors.HeaderParseError, ValueError):
        return None
    if len(pieces) == 1 and isinstance(pieces[0][0], str):
        return header_bytes(pieces[0][0])
    if any(0xDC80 <= ord(c) <= 0xDCFF for c in value):
        return None  # raw 8-bit text beside encoded words: Python has no byte reading of it
    return b"".join(piece for piece, _ in pieces)


def has_sender(parsed):
    return any(name.lower() == "from" and value.strip() for name, value in parsed.raw_items())


def expected_recipients(parsed, fax_recipient):
    values = parsed.get_all("to", []) + parsed.get_all("cc", [])
    addresses = {address.lower() for _, address in email.utils.getaddresses(values)}
    return sorted(a for a in addresses if a == fax_recipient.lower())


def main():
    source, folder, fax_recipient = Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3]
    folder.mkdir(parents=True, exist_ok=True)
    count = 0
    for path in sorted(source.glob("*.eml")):
        stem = path.stem
        data = smtp_bytes(path.read_bytes())
        (folder / (stem + ".eml")).write_bytes(data)
        parsed = email.message_from_bytes(data, policy=RAW_HEADERS)
        write_parts(folder, stem, parsed, raw_name, html_attachments=True)
        subject = expected_subject(parsed)
        if subject is not None:
            (folder / (stem + ".subject")).write_text(subject.hex())
        if has_sender(parsed):
            recipients = expected_recipients(parsed, fax_recipient)
            (folder / (stem + ".recipients")).write_text("".join(a + "\n" for a in recipients))
        count += 1
    print("%d messages" % count)


if __name__ == "__main__":
    main()
