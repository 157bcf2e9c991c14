"""What Python's email package decodes from a message, as the gateway's decoder keeps it.

Shared by the differential tests (tests/interop/decode/make_messages.py and
tests/interop/real_mail/decode_real_mail.py); run with Debian's /usr/bin/python3.

write_parts() writes STEM.parts, one line per body part the decoder keeps, in the order it
meets them:
    KIND PAYLOAD MEDIA-TYPE ENCODING NAME
KIND is "text" (appended to the message text) or "attachment"; PAYLOAD the file STEM-K.bin
that holds Python's decoding of the part (get_payload(decode=True)); NAME the hex of the
part's file name as the caller's name rule gives it, or "-" for none. The C++ side reads
these lines with ReadPythonParts (tests/support/python_parts.h).

Which parts are kept follows the decoder's dispatch: message/rfc822 is read through, other
message types and text/html are dropped (unless the caller keeps
HTML files: html_attachments), multiparts are walked, text parts without a name
are message text, the rest are attachments (every leaf inside multipart/appledouble too).
"""


def plain_name(part):
    """The bytes of Python's file name of the part, or None when it has none or the decoder is
    not expected to read it (encoded words). A name in the extended form (RFC 2231) gives the
    bytes its escapes stand for, whatever its charset: the decoder keeps them as they are."""
    name = part.get_filename()
    if name is None:
        return None
    for field in ("Content-Disposition", "Content-Type"):
        for value in part.get_all(field, []):
            if "=?" in value:
                return None
    param = part.get_param("filename", header="content-disposition")
    if param is None:
        param = part.get_param("name")
    if isinstance(param, tuple):
        return param[2].encode("latin-1")
    return name.encode("utf-8")


def is_html_attachment(part):
    """A text/html part with a file name or an attachment disposition: a file, not a view."""
    disposition = (part.get("Content-Disposition") or "").split(";")[0].strip().lower()
    return part.get_filename() is not None or part.get_param("name") is not None or \
        disposition == "attachment"


def kept_parts(part, out, apple_double=False, html_attachments=False):
    """html_attachments: text/html parts that are attached files are kept as attachments."""
    ctype = part.get_content_type()
    if html_attachments and ctype == "text/html" and is_html_attachment(part):
        out.append(("attachment", part))
        return
    if ctype == "message/rfc822":
        inner = part.get_payload()
        for message in inner if isinstance(inner, list) else []:
            kept_parts(message, out, html_attachments=html_attachments)
        return
    if ctype.startswith("message/") or ctype.startswith("text/html"):
        return
    if ctype.startswith("multipart/"):
        subparts = part.get_payload()
        for sub in subparts if isinstance(subparts, list) else []:
            kept_parts(sub, out, ctype == "multipart/appledouble", html_attachments)
        return
    named = part.get_param("filename", header="content-disposition") is not None or \
        part.get_param("name") is not None
    kind = "text" if ctype.startswith("text/") and not named and not apple_double else "attachment"
    out.append((kind, part))


def transfer_encoding(part):
    encoding = (part.get("Content-Transfer-Encoding") or "none").strip().lower()
    return encoding.split()[0] if encoding else "none"


def write_parts(folder, stem, parsed, name_of=plain_name, html_attachments=False):
    """Writes STEM.parts and its payload files for the parsed message; returns the parts."""
    parts = []
    kept_parts(parsed, parts, html_attachments=html_attachments)
    lines = []
    for k, (kind, part) in enumerate(parts, start=1):
        payload = part.get_payload(decode=True) or b""
        payload_name = "%s-%d.bin" % (stem, k)
        (folder / payload_name).write_bytes(payload)
        name = name_of(part)
        if isinstance(name, str):
            name = name.encode("utf-8", "surrogateescape")
        media_type = "_".join(part.get_content_type().split())  # one field, blanks and all
        lines.append("%s %s %s %s %s\n" % (kind, payload_name, media_type,
                                           transfer_encoding(part),
                                           name.hex() if name else "-"))
    (folder / (stem + ".parts")).write_text("".join(lines))
    return parts
