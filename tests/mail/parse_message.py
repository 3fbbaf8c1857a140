"""Parses one stored message with Python's own email package and prints what
a reader sees: the decoded headers and, per part, its type, disposition, file
name and the SHA-256 of its decoded content (uuencoded parts decoded from
their "begin" line)."""
import email
import email.header
import email.policy
import hashlib
import json
import sys


def decoded(value):
    return str(email.header.make_header(email.header.decode_header(value or ""))).strip()


def uudecode(text):
    lines = text.replace("\r\n", "\n").split("\n")
    start = next(i for i, l in enumerate(lines) if l.startswith("begin "))
    data = b""
    for line in lines[start + 1:]:
        if line == "end":
            break
        if line:
            # Decoded by hand: the padding of a short last group may hold any
            # bits (this writer pads with blanks), which binascii refuses.
            n = (ord(line[0]) - 32) & 63
            chars = [(ord(c) - 32) & 63 for c in line[1:]]
            out = bytearray()
            for i in range(0, len(chars) - 3, 4):
                v = chars[i] << 18 | chars[i + 1] << 12 | chars[i + 2] << 6 | chars[i + 3]
                out += bytes([v >> 16, (v >> 8) & 255, v & 255])
            data += bytes(out[:n])
    return data


with open(sys.argv[1], "rb") as f:
    message = email.message_from_binary_file(f, policy=email.policy.compat32)

parts = []
for part in message.walk():
    if part.is_multipart():
        continue
    filename = part.get_filename()
    if filename and filename.endswith(".uue"):
        content = uudecode(part.get_payload(decode=False))
    else:
        content = part.get_payload(decode=True) or b""
    parts.append({
        "type": part.get_content_type(),
        "disposition": part.get_content_disposition(),
        "filename": filename,
        "sha256": hashlib.sha256(content).hexdigest(),
        "size": len(content),
        # Text with its line ends as stored (the store may keep LF alone).
        "text": content.decode("latin-1").replace("\r\n", "\n") if part.get_content_type() == "text/plain" else None,
    })
print(json.dumps({
    "from": decoded(message["From"]),
    "to": [decoded(v) for v in message.get_all("To", [])],
    "cc": [decoded(v) for v in message.get_all("cc", [])],
    "subject": decoded(message["Subject"]),
    "reply_to": decoded(message["Reply-To"]),
    "defects": len(message.defects),
    "parts": parts,
}))
