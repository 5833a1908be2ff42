#!/usr/bin/env python3
"""Makes the bundled sample message, as Mail writes it, and the files it carries.

Run from anywhere: writes email-signature.png, photo.png, report.pdf and
mail-with-pictures.eml beside this script. Everything is drawn here, so the output is the
same on every run.
"""
import base64
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def png(width, height, pixel):
    """A true-colour PNG whose pixel(x, y) gives (r, g, b)."""
    rows = b"".join(
        b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(width)) for y in range(height)
    )

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def signature(x, y):
    # A small blue badge with a white bar: the kind of logo people put under their name.
    inside = 4 <= x < 92 and 4 <= y < 28
    bar = 12 <= y < 20 and 14 <= x < 82
    if bar:
        return (255, 255, 255)
    return (30, 90, 200) if inside else (240, 244, 250)


def photo(x, y):
    # A landscape: sky fading to the horizon, a sun, green hills.
    sun = (x - 150) ** 2 + (y - 40) ** 2 < 18 ** 2
    hill = y > 110 + 20 * ((x % 80) / 80.0 - 0.5) ** 2 * 4 - (x // 80) * 6
    if sun:
        return (255, 214, 90)
    if hill:
        return (40, 120 + (y % 30), 50)
    return (90 + y // 2, 150 + y // 3, 235)


def pdf():
    """A one-page PDF that says "Quarterly report"."""
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 144] /Contents 4 0 R "
        b"/Resources << /Font << /F1 5 0 R >> >> >>",
        None,
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    ]
    stream = b"BT /F1 18 Tf 40 70 Td (Quarterly report) Tj ET"
    objects[3] = b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream"
    out = b"%PDF-1.4\n"
    offsets = []
    for number, body in enumerate(objects, start=1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return out


def b64(data):
    text = base64.b64encode(data).decode()
    return "\n".join(text[i:i + 76] for i in range(0, len(text), 76))


def attachment(name, mime, data, cid):
    return (f"Content-Transfer-Encoding: base64\n"
            f"Content-Disposition: inline;\n"
            f"\tfilename={name}\n"
            f"Content-Type: {mime};\n"
            f"\tx-unix-mode=0644;\n"
            f"\tname=\"{name}\"\n"
            f"Content-Id: <{cid}>\n"
            f"\n{b64(data)}\n")


def main():
    files = {
        "email-signature.png": png(96, 32, signature),
        "photo.png": png(200, 150, photo),
        "report.pdf": pdf(),
    }
    for name, data in files.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)

    top = "Apple-Mail=_5E4C7A61-2C1B-4C9E-9D0A-0F3B8C1D2E01"
    rel = "Apple-Mail=_9A2D4F10-6B3E-4E7A-8C21-7D5E3F4A6B02"
    sig_cid = "0C7F1E4A-3B2D-4A6C-9E8F-1A2B3C4D5E6F@example.net"
    photo_cid = "5D8E2F1B-7C4A-4B3D-8E9F-2B3C4D5E6F70@example.net"
    pdf_cid = "8A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9@example.net"
    plain = ("Hi Ann,\n\nhere is the view from the office, and the report.\n\n"
             "\ufffc\n\ufffc\n\nBest,\nBob\n\ufffc\n")
    html = ("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"
            "</head><body style=\"word-wrap: break-word;\"><div>Hi Ann,</div><div><br></div>"
            "<div>here is the view from the office, and the report.</div><div><br></div>"
            f"<div><img apple-inline=\"yes\" id=\"A1\" src=\"cid:{photo_cid}\"></div>"
            f"<div><img apple-inline=\"yes\" id=\"A2\" src=\"cid:{pdf_cid}\"></div>"
            "<div><br></div><div>Best,</div><div>Bob</div>"
            f"<div><img apple-inline=\"yes\" id=\"A3\" src=\"cid:{sig_cid}\"></div>"
            "</body></html>")
    message = (
        "From: Bob Example <bob@example.net>\n"
        "Content-Type: multipart/alternative;\n"
        f"\tboundary=\"{top}\"\n"
        "Mime-Version: 1.0 (Mac OS X Mail 16.0 \\(3731.500.231\\))\n"
        "Subject: The view from the office\n"
        "Date: Tue, 8 Dec 2026 09:30:00 +0100\n"
        "To: Ann Example <ann@example.org>\n"
        "Message-Id: <3F2A1B0C-9D8E-4F7A-8B6C-5D4E3F2A1B0C@example.net>\n"
        "\n\n"
        f"--{top}\n"
        "Content-Transfer-Encoding: 8bit\n"
        "Content-Type: text/plain;\n"
        "\tcharset=utf-8\n"
        f"\n{plain}\n"
        f"--{top}\n"
        "Content-Type: multipart/related;\n"
        "\ttype=\"text/html\";\n"
        f"\tboundary=\"{rel}\"\n"
        "\n\n"
        f"--{rel}\n"
        "Content-Transfer-Encoding: 7bit\n"
        "Content-Type: text/html;\n"
        "\tcharset=utf-8\n"
        f"\n{html}\n"
        f"--{rel}\n"
        + attachment("photo.png", "image/png", files["photo.png"], photo_cid) +
        f"--{rel}\n"
        + attachment("report.pdf", "application/pdf", files["report.pdf"], pdf_cid) +
        f"--{rel}\n"
        + attachment("email-signature.png", "image/png", files["email-signature.png"], sig_cid) +
        f"--{rel}--\n"
        "\n"
        f"--{top}--\n")
    with open(os.path.join(HERE, "mail-with-pictures.eml"), "w", encoding="utf-8", newline="\n") as f:
        f.write(message)
    # The composer's side of the same message, for `stowlet compose`.
    with open(os.path.join(HERE, "compose.html"), "w", encoding="utf-8", newline="\n") as f:
        f.write(html.replace(photo_cid, "photo").replace(pdf_cid, "report").replace(sig_cid, "signature"))
    with open(os.path.join(HERE, "compose.txt"), "w", encoding="utf-8", newline="\n") as f:
        f.write(plain)


if __name__ == "__main__":
    main()
