#!/usr/bin/python3
"""The restructuring done with Python's email package (standard library only), for
comparison: multipart/mixed on top, the text alternatives first (wrapped with the
signature pictures in a multipart/related), every other leaf part as an attachment
without its Content-Id.
    email-restructure.py IN OUT
"""
import sys
from email import policy
from email.generator import BytesGenerator
from email.message import EmailMessage
from email.parser import BytesParser


def main(source, target):
    with open(source, "rb") as f:
        message = BytesParser(policy=policy.default).parse(f)
    texts, inline, attach = [], [], []
    for part in message.walk():
        if part.is_multipart():
            continue
        kind = part.get_content_type()
        disposition = part.get_content_disposition()
        name = part.get_filename()
        if kind in ("text/plain", "text/html") and disposition is None:
            texts.append(part)
        elif kind.startswith("image/") and (name is None or "email-signature" in name):
            inline.append(part)
        else:
            attach.append(part)
    alternative = EmailMessage()
    alternative.make_alternative()
    for part in texts:
        alternative.attach(part)
    top = EmailMessage()
    for key, value in message.items():
        if key.lower() not in ("content-type", "content-transfer-encoding", "mime-version"):
            top[key] = value
    top.make_mixed()
    if inline:
        related = EmailMessage()
        related.make_related()
        related.attach(alternative)
        for part in inline:
            related.attach(part)
        top.attach(related)
    else:
        top.attach(alternative)
    for part in attach:
        del part["Content-Id"]
        disposition = part.get("Content-Disposition")
        if disposition is not None:
            part.replace_header("Content-Disposition", "attachment" + (
                disposition[disposition.index(";"):] if ";" in disposition else ""))
        top.attach(part)
    with open(target, "wb") as f:
        BytesGenerator(f, policy=policy.default).flatten(top)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
