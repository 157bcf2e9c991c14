#!/usr/bin/python3
"""Builds a corpus of mail messages and what Python's email package decodes from them.

    make_messages.py OUTPUT_FOLDER

For each message N (two digits) it writes:
  N.eml    the message as it is spooled: CR LF line ends, as received over SMTP;
  N.parts  one line per body part the gateway's decoder keeps, in the order it meets them:
             KIND PAYLOAD MEDIA-TYPE ENCODING NAME
           KIND is "text" (appended to the message text) or "attachment"; PAYLOAD the file
           N-K.bin that holds Python's decoding of the part (get_payload(decode=True) of the
           message parsed back from N.eml); NAME the hex of the bytes of Python's
           get_filename() (for an RFC 2231 name the bytes its escapes stand for), or "-" when
           it has none or the name is one the decoder is not expected to read (encoded words);
  N.warnings  the decoder's warnings, for the few messages that earn some.

Messages come from the email package's own composition (EmailMessage, the MIME classes) and
from hand-written texts in the shapes that common mailers produce. Everything is built from
fixed seeds, so the corpus is the same at every run. Which parts are kept follows the
decoder's dispatch: message/rfc822 is read through, other message types are dropped, and so is
text/html unless it has a name or an attachment disposition; multiparts are walked, text parts
without a name are message text, the rest are attachments (every leaf inside
multipart/appledouble too).
"""

import email
import email.policy
import random
import sys
from email import encoders
from email.generator import BytesGenerator
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
from email.mime.image import MIMEImage
from email.mime.message import MIMEMessage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from io import BytesIO
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "support"))
from email_reference import write_parts  # noqa: E402

SMTP = email.policy.SMTP


def rng(seed):
    return random.Random(seed)


def random_bytes(seed, size):
    r = rng(seed)
    return bytes(r.randrange(256) for _ in range(size))


def words(seed, count, width=72):
    r = rng(seed)
    vocabulary = ("fax", "page", "invoice", "order", "total", "please", "send", "the",
                  "cover", "sheet", "number", "delivery", "Zürich", "naïve", "café",
                  "résumé", "line", "--", "From", ">From", "=", "==", "=3D", "end.")
    lines, line = [], []
    for _ in range(count):
        line.append(r.choice(vocabulary))
        if len(" ".join(line)) > width:
            lines.append(" ".join(line))
            line = []
    lines.append(" ".join(line))
    return "\n".join(lines) + "\n"


def headers(msg, n):
    msg["From"] = "Sender %d <sender%d@example.org>" % (n, n)
    msg["To"] = "5550%03d@fax.example" % n
    msg["Subject"] = "Test message %d" % n
    msg["Message-ID"] = "<m%d@example.org>" % n
    return msg


def to_bytes(msg):
    out = BytesIO()
    BytesGenerator(out, policy=SMTP, mangle_from_=False).flatten(msg)
    return out.getvalue()


def crlf(text):
    data = text.encode("latin-1") if isinstance(text, str) else text
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


# --- messages composed with the email package ------------------------------------------------

def composed():
    msgs = []

    m = headers(EmailMessage(), 1)
    m.set_content(words(1, 60))
    msgs.append(m)

    m = headers(EmailMessage(), 2)
    m.set_content(words(2, 30))
    m.add_attachment(b"%PDF-1.4\n" + random_bytes(2, 5000), maintype="application",
                     subtype="pdf", filename="report.final.pdf")
    msgs.append(m)

    # Every byte value, in a binary attachment.
    m = headers(EmailMessage(), 3)
    m.set_content("All byte values attached.\n")
    m.add_attachment(bytes(range(256)) * 8, maintype="application", subtype="octet-stream",
                     filename="allbytes.bin")
    msgs.append(m)

    # A larger binary attachment and a small image.
    m = headers(EmailMessage(), 4)
    m.set_content(words(4, 10))
    m.add_attachment(random_bytes(4, 200000), maintype="application", subtype="zip",
                     filename="archive.zip")
    m.add_attachment(b"\x89PNG\r\n\x1a\n" + random_bytes(40, 700), maintype="image",
                     subtype="png", filename="logo.png")
    msgs.append(m)

    # multipart/alternative inside multipart/mixed.
    m = headers(EmailMessage(), 5)
    m.set_content(words(5, 40))
    m.add_alternative("<html><body><p>%s</p></body></html>\n" % words(50, 40))
    m.add_attachment(random_bytes(5, 3000), maintype="image", subtype="jpeg",
                     filename="photo.jpeg")
    msgs.append(m)

    # Text attachments in every transfer encoding the package picks or is told to use.
    for n, (cte, text) in enumerate([
            (None, words(6, 200, width=70)),
            ("quoted-printable", words(7, 300, width=200)),
            ("base64", "first line\r\nsecond line\nthird line\r\n\r\nlast without end"),
            ("quoted-printable", "trailing blanks   \nand tabs\t\nequals = sign\n=3D\n"),
            ("8bit", "Grüße aus Zürich\nçà et là\n"),
            ("7bit", "comma,separated,values\n1,2,3\n4,5,6\n")], start=6):
        m = headers(EmailMessage(), n)
        m.set_content("See the attached text.\n")
        kwargs = {"cte": cte} if cte else {}
        subtype = "csv" if n == 11 else "plain"
        m.add_attachment(text, subtype=subtype, filename="notes%d.%s" % (n, subtype[:3]),
                         **kwargs)
        msgs.append(m)

    # A message forwarded as message/rfc822, with an attachment of its own.
    inner = headers(EmailMessage(), 12)
    inner.set_content(words(12, 30))
    inner.add_attachment(random_bytes(12, 1500), maintype="application",
                         subtype="octet-stream", filename="inner.dat")
    m = headers(EmailMessage(), 13)
    m.set_content("Forwarded message below.\n")
    m.add_attachment(inner)
    msgs.append(m)

    # Deep nesting: mixed > mixed > alternative > related.
    related = MIMEMultipart("related")
    related.attach(MIMEText("<html><img src=cid:img1></html>\n", "html"))
    img = MIMEImage(random_bytes(14, 900), "gif")
    img.add_header("Content-ID", "<img1>")
    img.add_header("Content-Disposition", "inline", filename="inline.gif")
    related.attach(img)
    alternative = MIMEMultipart("alternative")
    alternative.attach(MIMEText(words(14, 25), "plain"))
    alternative.attach(related)
    middle = MIMEMultipart("mixed")
    middle.attach(alternative)
    middle.attach(MIMEApplication(random_bytes(141, 2000), "octet-stream", Name="middle.bin"))
    outer = headers(MIMEMultipart("mixed"), 14)
    outer.attach(middle)
    outer.attach(MIMEText(words(142, 50), "plain", "utf-8"))
    msgs.append(outer)

    # multipart/digest of two messages.
    digest = headers(MIMEMultipart("digest"), 15)
    for k in range(2):
        part = headers(MIMEText(words(150 + k, 20)), 150 + k)
        digest.attach(MIMEMessage(part))
    msgs.append(digest)

    # An empty attachment, and one whose text ends without a line end.
    m = headers(EmailMessage(), 16)
    m.set_content("Two small attachments.\n")
    m.add_attachment(b"", maintype="application", subtype="octet-stream", filename="empty.bin")
    m.add_attachment("no line end at the end", filename="short.txt")
    m.add_attachment("two line ends\n\n", filename="blank.txt", cte="base64")
    msgs.append(m)

    # Content lines that look like delimiters or mbox separators.
    m = headers(EmailMessage(), 17)
    m.set_content("--not a boundary\n-- \nFrom the start\n--\n")
    m.add_attachment("--\n---\n--x\nFrom me\n", filename="dashes.txt", cte="7bit")
    msgs.append(m)

    # Names with blanks, quotes and semicolons; a name only in the content type.
    m = headers(EmailMessage(), 18)
    m.set_content("Names.\n")
    m.add_attachment(random_bytes(18, 100), maintype="application", subtype="octet-stream",
                     filename='quarterly report; "final" v2.xls')
    part = MIMEBase("application", "msword", name="letter.doc")
    part.set_payload(random_bytes(181, 600))
    encoders.encode_base64(part)
    legacy = MIMEMultipart()
    headers(legacy, 19)
    legacy.attach(MIMEText("Legacy composition.\n"))
    legacy.attach(part)
    msgs.append(m)
    msgs.append(legacy)

    # Names in the extended form: a non-ASCII one and a very long one (numbered sections).
    m = headers(EmailMessage(), 20)
    m.set_content("Foreign names.\n")
    m.add_attachment(random_bytes(20, 300), maintype="application", subtype="pdf",
                     filename="café menu.pdf")
    m.add_attachment(random_bytes(21, 300), maintype="application", subtype="pdf",
                     filename="a very long file name " * 6 + ".pdf")
    msgs.append(m)

    # Binary data sent quoted-printable, and an application type sent 7bit.
    m = headers(EmailMessage(), 21)
    m.set_content("Odd encodings.\n")
    m.add_attachment(bytes(range(32, 127)) * 3 + b"\x00\x01\xff\xfe\x80 \t", maintype="application",
                     subtype="octet-stream", filename="qp.bin", cte="quoted-printable")
    m.add_attachment(b"%!PS-Adobe-3.0\n%%EOF\n", maintype="application", subtype="postscript",
                     filename="page.ps", cte="7bit")
    msgs.append(m)

    # HTML only (dropped), with an HTML attachment and a text attachment (both kept).
    m = headers(EmailMessage(), 22)
    m.set_content("<html><p>only html</p></html>\n", subtype="html")
    m.add_attachment("<html>attached page</html>\n", subtype="html", filename="page.html")
    m.add_attachment("kept\n", filename="kept.txt")
    msgs.append(m)

    # multipart/appledouble: resource fork and data fork, both saved.
    ad = MIMEMultipart("appledouble")
    fork = MIMEApplication(b"\x00\x05\x16\x07" + random_bytes(23, 60), "applefile")
    ad.attach(fork)
    data = MIMEText("data fork text\n", "plain")
    data.add_header("Content-Disposition", "attachment", filename="readme")
    ad.attach(data)
    m = headers(MIMEMultipart(), 23)
    m.attach(MIMEText("Mac attachment.\n"))
    m.attach(ad)
    msgs.append(m)

    # A forwarded message inside a forwarded message.
    innermost = headers(EmailMessage(), 24)
    innermost.set_content("innermost text\n")
    innermost.add_attachment(random_bytes(24, 77), maintype="image", subtype="tiff",
                             filename="scan.tiff")
    middle = headers(EmailMessage(), 25)
    middle.set_content("middle text\n")
    middle.add_attachment(innermost)
    m = headers(EmailMessage(), 26)
    m.set_content("outer text\n")
    m.add_attachment(middle)
    msgs.append(m)

    # Many attachments of random sizes and types.
    r = rng(27)
    m = headers(EmailMessage(), 27)
    m.set_content(words(27, 15))
    types = [("application", "pdf"), ("image", "png"), ("application", "octet-stream"),
             ("audio", "wav"), ("application", "vnd.ms-excel")]
    for k in range(12):
        maintype, subtype = r.choice(types)
        m.add_attachment(random_bytes(270 + k, r.choice([1, 2, 3, 57, 58, 76, 1000, 4096])),
                         maintype=maintype, subtype=subtype, filename="file%02d.%s" % (k, subtype[:4]))
    msgs.append(m)

    # Long text lines: unfolded 7bit, and quoted-printable soft breaks.
    m = headers(EmailMessage(), 28)
    m.set_content(("x" * 900 + "\n") * 3, cte="8bit")
    m.add_attachment(("long " * 400).strip() + "\n", filename="long.txt", cte="quoted-printable")
    msgs.append(m)

    # Text in base64 as the message text: the decoder drops its CRs.
    m = headers(EmailMessage(), 29)
    m.set_content("body in base64\r\nwith CR LF\nand LF\n", cte="base64")
    msgs.append(m)

    # Names the email package writes in the extended form, long ones in numbered sections:
    # Cyrillic, CJK and emoji, several dots, and an HTML file (kept, unlike an HTML body).
    m = headers(EmailMessage(), 30)
    m.set_content("Names from abroad.\n")
    m.add_alternative("<html><p>the same as HTML</p></html>\n", subtype="html")
    for k, name in enumerate([
            "\u20ac rates.pdf",
            "\u0414\u043e\u0433\u043e\u0432\u043e\u0440 \u0433. "
            "\u041c\u043e\u0441\u043a\u0432\u0430 " * 6 + ".pdf",
            "\u6587\u4ef6\u540d" * 12 + ".docx",
            "\U0001f4c4 scan \U0001f4e0" * 8 + ".tif",
            "v1.2.final \u00fcbersicht.tar.gz"]):
        m.add_attachment(random_bytes(240 + k, 200), maintype="application",
                         subtype="octet-stream", filename=name)
    m.add_attachment("<html><p>page</p></html>\n", subtype="html", filename="seite \u00fc.html")
    msgs.append(m)

    return msgs


# --- hand-written messages in the shapes of common mailers ----------------------------------

def b64(data, width=76):
    import base64
    text = base64.b64encode(data).decode()
    return "\n".join(text[i:i + width] for i in range(0, len(text), width)) + "\n"


def handwritten():
    texts = []
    pdf = random_bytes(100, 2500)
    png = random_bytes(101, 1200)

    # Desktop client: mixed > alternative (QP text, HTML) + attachment with name and filename.
    texts.append(
        "From: \"Alice Example\" <alice@example.org>\n"
        "To: <5551234@fax.example>\n"
        "Subject: Invoice\n"
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed;\n"
        "\tboundary=\"----=_NextPart_000_0012_01D9A1B2.3C4D5E60\"\n"
        "\n"
        "This is a multi-part message in MIME format.\n"
        "\n"
        "------=_NextPart_000_0012_01D9A1B2.3C4D5E60\n"
        "Content-Type: multipart/alternative;\n"
        "\tboundary=\"----=_NextPart_001_0013_01D9A1B2.3C4D5E60\"\n"
        "\n"
        "\n"
        "------=_NextPart_001_0013_01D9A1B2.3C4D5E60\n"
        "Content-Type: text/plain;\n"
        "\tcharset=\"iso-8859-1\"\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "Please find the invoice attached. Caf=E9 receipts are included as =\n"
        "well.=0D=0A=0D=0ARegards\n"
        "\n"
        "------=_NextPart_001_0013_01D9A1B2.3C4D5E60\n"
        "Content-Type: text/html;\n"
        "\tcharset=\"iso-8859-1\"\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "<html><body>Please find the invoice attached.</body></html>\n"
        "\n"
        "------=_NextPart_001_0013_01D9A1B2.3C4D5E60--\n"
        "\n"
        "------=_NextPart_000_0012_01D9A1B2.3C4D5E60\n"
        "Content-Type: application/pdf;\n"
        "\tname=\"Invoice 2023-117.pdf\"\n"
        "Content-Transfer-Encoding: base64\n"
        "Content-Disposition: attachment;\n"
        "\tfilename=\"Invoice 2023-117.pdf\"\n"
        "\n" + b64(pdf) +
        "\n"
        "------=_NextPart_000_0012_01D9A1B2.3C4D5E60--\n"
        "\n")

    # Apple-style: quoted boundary with '=', format=flowed text, inline image, no epilogue.
    texts.append(
        "From: bob@example.net\n"
        "Content-Type: multipart/mixed; boundary=\"Apple-Mail=_5F0E7C3A-1B2D-4E5F-8A9B-0C1D2E3F4A5B\"\n"
        "Mime-Version: 1.0 (Mac OS X Mail 16.0)\n"
        "Subject: Scan\n"
        "To: 5559876@fax.example\n"
        "\n"
        "\n"
        "--Apple-Mail=_5F0E7C3A-1B2D-4E5F-8A9B-0C1D2E3F4A5B\n"
        "Content-Transfer-Encoding: 7bit\n"
        "Content-Type: text/plain;\n"
        "\tcharset=us-ascii;\n"
        "\tformat=flowed\n"
        "\n"
        "Here is the scan. \n"
        "Second paragraph.\n"
        "\n"
        "--Apple-Mail=_5F0E7C3A-1B2D-4E5F-8A9B-0C1D2E3F4A5B\n"
        "Content-Disposition: inline;\n"
        "\tfilename=scan.png\n"
        "Content-Type: image/png;\n"
        "\tx-unix-mode=0644;\n"
        "\tname=\"scan.png\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64(png, 76) +
        "--Apple-Mail=_5F0E7C3A-1B2D-4E5F-8A9B-0C1D2E3F4A5B--\n")

    # Web mail: base64 text body, attachment with 64-character lines, upper-case encoding name.
    texts.append(
        "MIME-Version: 1.0\n"
        "From: Carol <carol@example.com>\n"
        "Date: Mon, 2 Oct 2023 10:00:00 +0000\n"
        "Subject: Contract\n"
        "To: 5550001@fax.example\n"
        "Content-Type: multipart/mixed; boundary=\"000000000000a1b2c3d4e5f60718\"\n"
        "\n"
        "--000000000000a1b2c3d4e5f60718\n"
        "Content-Type: text/plain; charset=\"UTF-8\"\n"
        "Content-Transfer-Encoding: BASE64\n"
        "\n" + b64("Signed contract attached.\r\nThanks!\r\n".encode(), 76) +
        "--000000000000a1b2c3d4e5f60718\n"
        "Content-Type: application/vnd.openxmlformats-officedocument.wordprocessingml.document; \n"
        "\tname=\"contract.docx\"\n"
        "Content-Disposition: attachment; filename=\"contract.docx\"\n"
        "Content-Transfer-Encoding: Base64\n"
        "X-Attachment-Id: f_abc123\n"
        "Content-ID: <f_abc123>\n"
        "\n" + b64(random_bytes(102, 3333), 64) +
        "--000000000000a1b2c3d4e5f60718--\n")

    # Mailing-list shape: a text part without headers, a signature-like part, a footer part.
    texts.append(
        "From: dave@example.org\n"
        "To: list@example.org, 5550002@fax.example\n"
        "Subject: [list] notes\n"
        "Content-Type: multipart/mixed; boundary=\"===============1234567890123456789==\"\n"
        "MIME-Version: 1.0\n"
        "\n"
        "--===============1234567890123456789==\n"
        "\n"
        "A part without any header lines.\n"
        "--===============1234567890123456789==\n"
        "Content-Type: application/pgp-signature; name=\"signature.asc\"\n"
        "Content-Description: OpenPGP digital signature\n"
        "\n"
        "-----BEGIN PGP SIGNATURE-----\n"
        "\n"
        "iQEzBAEBCAAdFiEEabcdefghijklmnopqrstuvwxyz0123456\n"
        "=ABCD\n"
        "-----END PGP SIGNATURE-----\n"
        "\n"
        "--===============1234567890123456789==\n"
        "Content-Type: text/plain; charset=\"us-ascii\"\n"
        "MIME-Version: 1.0\n"
        "Content-Transfer-Encoding: 7bit\n"
        "Content-Disposition: inline\n"
        "\n"
        "_______________________________________________\n"
        "list mailing list\n"
        "--===============1234567890123456789==--\n")

    # A terminal client: text/plain attachments in 8bit and quoted-printable, a patch file.
    texts.append(
        "Date: Tue, 3 Oct 2023 09:15:00 +0200\n"
        "From: Erin <erin@example.net>\n"
        "To: 5550003@fax.example\n"
        "Subject: patch\n"
        "Message-ID: <20231003071500.GA1234@example.net>\n"
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"x4LgXfBJ+rBsNwPk\"\n"
        "Content-Disposition: inline\n"
        "Content-Transfer-Encoding: 8bit\n"
        "\n"
        "\n"
        "--x4LgXfBJ+rBsNwPk\n"
        "Content-Type: text/plain; charset=iso-8859-1\n"
        "Content-Disposition: inline\n"
        "Content-Transfer-Encoding: 8bit\n"
        "\n"
        "Gr\xfc\xdfe, the patch follows.\n"
        "\n"
        "--x4LgXfBJ+rBsNwPk\n"
        "Content-Type: text/x-diff; charset=us-ascii\n"
        "Content-Disposition: attachment; filename=\"fix.patch\"\n"
        "\n"
        "--- a/file.c\n"
        "+++ b/file.c\n"
        "@@ -1,3 +1,3 @@\n"
        "-int x = 1;\n"
        "+int x = 2;\n"
        " \n"
        "--x4LgXfBJ+rBsNwPk\n"
        "Content-Type: text/plain; charset=iso-8859-1\n"
        "Content-Disposition: attachment; filename=\"latin.txt\"\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "na=EFve caf=E9 =\n"
        "continued=20\n"
        "tab=09end\n"
        "\n"
        "--x4LgXfBJ+rBsNwPk--\n")

    # Scanner appliance: single-part message whose whole body is a base64 PDF.
    texts.append(
        "From: scanner@example.com\n"
        "To: 5550004@fax.example\n"
        "Subject: Scanned document\n"
        "MIME-Version: 1.0\n"
        "Content-Type: application/pdf; name=scan0001.pdf\n"
        "Content-Transfer-Encoding: base64\n"
        "Content-Disposition: attachment; filename=scan0001.pdf\n"
        "\n" + b64(pdf[:1000], 72))

    # Parameter comments, unusual letter case, folding and blanks around '='.
    texts.append(
        "From: frank@example.org\n"
        "To: 5550005@fax.example\n"
        "Subject: odd headers\n"
        "MIME-Version: 1.0\n"
        "CONTENT-TYPE: Multipart/Mixed (the parts follow);\n"
        "  Boundary = \"odd\"\n"
        "\n"
        "--odd\n"
        "content-type: TEXT/PLAIN; charset=us-ascii\n"
        "\n"
        "odd text\n"
        "--odd\n"
        "Content-Type: Application/Octet-Stream\n"
        "Content-Disposition: ATTACHMENT; FILENAME=\"odd.bin\"\n"
        "Content-Transfer-Encoding: bAsE64\n"
        "\n" + b64(random_bytes(103, 500), 60) +
        "--odd--\n")

    # Base64 lines with trailing blanks, no line end before the delimiter, epilogue text.
    texts.append(
        "From: grace@example.org\n"
        "To: 5550006@fax.example\n"
        "Subject: sloppy base64\n"
        "Content-Type: multipart/mixed; boundary=b\n"
        "\n"
        "preamble text\n"
        "--b\n"
        "Content-Type: text/plain\n"
        "\n"
        "body\n"
        "--b\n"
        "Content-Type: image/gif; name=\"dot.gif\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n"
        "R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==   \n"
        "--b\n"
        "Content-Type: application/octet-stream; name=\"tail.bin\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n"
        "AAECAwQFBgcICQ\n"
        "oLDA0ODw==\n"
        "--b--\n"
        "epilogue text\n")

    # A forwarded message as an attachment with a name (message/rfc822 is still read through).
    texts.append(
        "From: heidi@example.org\n"
        "To: 5550007@fax.example\n"
        "Subject: Fwd: original\n"
        "Content-Type: multipart/mixed; boundary=\"fwd\"\n"
        "\n"
        "--fwd\n"
        "Content-Type: text/plain\n"
        "\n"
        "See below.\n"
        "--fwd\n"
        "Content-Type: message/rfc822; name=\"original.eml\"\n"
        "Content-Disposition: attachment; filename=\"original.eml\"\n"
        "\n"
        "From: ivan@example.org\n"
        "To: heidi@example.org\n"
        "Subject: original\n"
        "Content-Type: multipart/mixed; boundary=\"inner\"\n"
        "\n"
        "--inner\n"
        "Content-Type: text/plain\n"
        "\n"
        "Original text.\n"
        "--inner\n"
        "Content-Type: text/plain; name=\"list.txt\"\n"
        "\n"
        "one\n"
        "two\n"
        "--inner--\n"
        "\n"
        "--fwd\n"
        "Content-Type: message/external-body; access-type=URL; URL=\"http://example.invalid/x\"\n"
        "\n"
        "Content-Type: application/pdf\n"
        "\n"
        "--fwd--\n")

    # Binary content sent without any encoding (8-bit clean transport, no CR bytes).
    raw = bytes(b for b in random_bytes(104, 3000) if b != 13)
    texts.append(
        b"From: judy@example.org\n"
        b"To: 5550008@fax.example\n"
        b"Subject: raw binary\n"
        b"Content-Type: multipart/mixed; boundary=\"raw-boundary-0001\"\n"
        b"\n"
        b"--raw-boundary-0001\n"
        b"Content-Type: application/octet-stream; name=\"raw.bin\"\n"
        b"Content-Transfer-Encoding: binary\n"
        b"\n" + raw + b"\n"
        b"--raw-boundary-0001--\n")

    # A text part whose lines end in CR LF inside quoted-printable escapes and plain LF.
    texts.append(
        "From: ken@example.org\n"
        "To: 5550009@fax.example\n"
        "Subject: mixed line ends\n"
        "Content-Type: text/plain; name=\"ends.txt\"\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "one=0D=0Atwo=0Athree=\n"
        " four\n"
        "five\n")
    # An encoder that leaves out the base64 padding (groups of two and three characters):
    # decoded whole, with a warning for each attachment.
    texts.append((
        "From: leo@example.org\n"
        "To: 5550010@fax.example\n"
        "Subject: no padding\n"
        "Content-Type: multipart/mixed; boundary=np\n"
        "\n"
        "--np\n"
        "Content-Type: application/octet-stream; name=\"two.bin\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64(random_bytes(105, 301)).replace("=", "") +
        "--np\n"
        "Content-Type: application/octet-stream; name=\"one.bin\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64(random_bytes(106, 302)).replace("=", "") +
        "--np--\n", "munpack: warning: Premature EOF\n" * 2))

    # Lone CRs: a quoted-printable escape and base64 text; a soft break that ends the part.
    import base64
    texts.append(
        "From: mia@example.org\n"
        "To: 5550011@fax.example\n"
        "Subject: lone CRs\n"
        "Content-Type: multipart/mixed; boundary=\"cr\"\n"
        "\n"
        "--cr\n"
        "Content-Type: text/plain; charset=us-ascii\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "carriage=0Dreturn and the end of the text=\n"
        "--cr\n"
        "Content-Type: text/plain; name=\"cr.txt\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + base64.b64encode(b"old\rmac\rline ends\r\n").decode() + "\n"
        "--cr\n"
        "Content-Type: text/plain; name=\"soft.txt\"\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "soft break at the very end =\n"
        "--cr--\n")

    # No content type but a file name; a header value that starts on the next line; extra
    # disposition parameters; a name parameter with blanks around '='.
    texts.append(
        "From: nina@example.org\n"
        "To: 5550012@fax.example\n"
        "Subject: header shapes\n"
        "Content-Type: multipart/mixed; boundary=hs\n"
        "\n"
        "--hs\n"
        "Content-Disposition: attachment; filename=\"untyped.txt\"\n"
        "\n"
        "a part without a content type\n"
        "--hs\n"
        "Content-Type:\n"
        "\tapplication/pdf;\n"
        "\tname=\"next-line.pdf\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64(random_bytes(107, 200)) +
        "--hs\n"
        "Content-Type: application/pdf\n"
        "Content-Disposition: attachment; filename=\"params.pdf\"; size=200;\n"
        " creation-date=\"Mon, 2 Oct 2023 10:00:00 +0000\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64(random_bytes(108, 200)) +
        "--hs\n"
        "Content-Type: text/plain; charset=us-ascii; name = \"spaced.txt\"\n"
        "\n"
        "spaced name\n"
        "--hs--\n")

    # Very long header lines, a long content type with its name last, the longest boundary.
    boundary = "L" * 30 + "-0123456789-" + "z" * 28
    assert len(boundary) == 70
    texts.append(
        "From: otto@example.org\n"
        "To: 5550013@fax.example\n"
        "Subject: long lines\n"
        "References: " + " ".join("<ref%04d@example.org>" % k for k in range(150)) + "\n"
        "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\n"
        "\n"
        "--" + boundary + "\n"
        "Content-Type: application/octet-stream; " +
        "; ".join("x-param%d=\"value %d\"" % (k, k) for k in range(60)) +
        "; name=\"last-param.bin\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64(random_bytes(109, 900)) +
        "--" + boundary + "--\n")

    # Boundaries with blanks, parentheses, '?' and ':' (all allowed), nested.
    texts.append(
        "From: pia@example.org\n"
        "To: 5550014@fax.example\n"
        "Subject: boundary characters\n"
        "Content-Type: multipart/mixed; boundary=\"simple boundary (1)\"\n"
        "\n"
        "--simple boundary (1)\n"
        "Content-Type: multipart/alternative; boundary=\"=_a?b:c'd+e,f.g/h\"\n"
        "\n"
        "--=_a?b:c'd+e,f.g/h\n"
        "Content-Type: text/plain\n"
        "\n"
        "alternative text\n"
        "--=_a?b:c'd+e,f.g/h--\n"
        "--simple boundary (1)\n"
        "Content-Type: image/tiff; name=\"fax.tif\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64(random_bytes(110, 640)) +
        "--simple boundary (1)--\n")

    # A digest whose components have no content type (each is a message), an AppleDouble pair
    # whose data fork is unnamed text (saved all the same), lower-case quoted-printable digits.
    texts.append(
        "From: rita@example.org\n"
        "To: 5550016@fax.example\n"
        "Subject: digest and applefile\n"
        "Content-Type: multipart/mixed; boundary=top\n"
        "\n"
        "--top\n"
        "Content-Type: multipart/digest; boundary=dg\n"
        "\n"
        "--dg\n"
        "\n"
        "From: one@example.org\n"
        "Subject: first digest entry\n"
        "\n"
        "first entry text\n"
        "--dg\n"
        "\n"
        "From: two@example.org\n"
        "Content-Type: application/octet-stream; name=\"entry.bin\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64(random_bytes(111, 90)) +
        "--dg--\n"
        "--top\n"
        "Content-Type: multipart/appledouble; boundary=ad\n"
        "\n"
        "--ad\n"
        "Content-Type: application/applefile\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64(b"\x00\x05\x16\x07\x00\x02\x00\x00" + random_bytes(112, 40)) +
        "--ad\n"
        "Content-Type: text/plain; charset=iso-8859-1\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "data fork =e9t=e9 =c3=a9\n"
        "--ad--\n"
        "--top--\n")

    # Base64 in one line of 20000 characters, and a UTF-16 text attachment in base64.
    texts.append(
        "From: sam@example.org\n"
        "To: 5550017@fax.example\n"
        "Subject: one long line\n"
        "Content-Type: multipart/mixed; boundary=ll\n"
        "\n"
        "--ll\n"
        "Content-Type: application/octet-stream; name=\"oneline.bin\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + base64.b64encode(random_bytes(113, 15000)).decode() + "\n"
        "--ll\n"
        "Content-Type: text/plain; charset=utf-16; name=\"wide.txt\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64("wide text\r\nzweite Zeile\r\n".encode("utf-16")) +
        "--ll--\n")

    # A single-part text attachment whose message ends without a line end.
    texts.append(
        "From: quinn@example.org\n"
        "To: 5550015@fax.example\n"
        "Subject: unterminated\n"
        "Content-Type: text/plain; name=\"open.txt\"\n"
        "\n"
        "first line\n"
        "last line without an end")

    # Extended names by hand: a Latin-1 charset with a language, sections out of order, mixed
    # encoded and plain sections, and name*= in the content type only.
    texts.append(
        "From: rene@example.org\n"
        "To: 5550016@fax.example\n"
        "Subject: extended names\n"
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"xn\"\n"
        "\n"
        "--xn\n"
        "Content-Type: text/plain\n"
        "\n"
        "Four files.\n"
        "--xn\n"
        "Content-Type: application/pdf\n"
        "Content-Disposition: attachment; filename*=iso-8859-1'fr'caf%E9%20cr%E8me.pdf\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64(random_bytes(114, 400)) +
        "--xn\n"
        "Content-Type: application/octet-stream\n"
        "Content-Disposition: attachment;\n"
        " filename*2=\"tail.bin\";\n"
        " filename*0*=UTF-8''%E2%82%AC%20;\n"
        " filename*1*=%D0%94%D0%BE%20\n"
        "Content-Transfer-Encoding: base64\n"
        "\n" + b64(random_bytes(115, 300)) +
        "--xn\n"
        "Content-Type: text/plain; name*0*=utf-8''%C3%BC; name*1=\"ber 100%25.txt\"\n"
        "\n"
        "a text file named in the content type\n"
        "--xn\n"
        "Content-Type: text/html; name*=UTF-8''index%2Ehtml\n"
        "\n"
        "<html>named page</html>\n"
        "--xn\n"
        "Content-Type: text/html\n"
        "Content-Disposition: attachment\n"
        "\n"
        "<html>unnamed page</html>\n"
        "--xn\n"
        "Content-Type: text/html\n"
        "Content-Disposition: inline\n"
        "\n"
        "<html>inline body, not kept</html>\n"
        "--xn--\n")
    return texts


def main():
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    messages = [(to_bytes(m), "") for m in composed()]
    for text in handwritten():
        text, warnings = text if isinstance(text, tuple) else (text, "")
        messages.append((crlf(text), warnings))
    for n, (data, warnings) in enumerate(messages, start=1):
        stem = "%02d" % n
        (folder / (stem + ".eml")).write_bytes(data)
        if warnings:
            (folder / (stem + ".warnings")).write_text(warnings)
        parsed = email.message_from_bytes(data, policy=email.policy.compat32)
        for part in parsed.walk():
            # Only messages that Python reads as intended are a reference.
            if part.defects or (part.is_multipart() and isinstance(part.get_payload(), str)):
                sys.exit("%s.eml: Python finds %r" % (stem, part.defects))
        write_parts(folder, stem, parsed, html_attachments=True)
    print("%d messages" % len(messages))


if __name__ == "__main__":
    main()
