"""Parses one stored message with Python's own email package (policy default)
and prints, as JSON, what a reader sees: the header fields decoded by their
declared charsets, the addresses as name and address, every defect found, the
shape of the header lines, and per part its type, charset, disposition, file
name and the SHA-256 of its decoded content. Uuencoded parts are decoded by
GNU uudecode when it is installed."""
import email
import email.policy
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile


def addresses(message, field):
    found = []
    for header in message.get_all(field, []):
        found += [[a.display_name, a.addr_spec] for a in header.addresses]
    return found


def uudecode(text):
    """The part as a user saving it would have it, through the real tool."""
    with tempfile.TemporaryDirectory() as folder:
        source, target = os.path.join(folder, "part.uue"), os.path.join(folder, "out")
        # The line end before the next boundary belongs to the boundary.
        with open(source, "w", encoding="ascii", newline="\n") as f:
            f.write(text.replace("\r\n", "\n") + "\n")
        run = subprocess.run(["uudecode", "-o", target, source], capture_output=True, text=True)
        if run.returncode != 0:
            return None, run.stderr.strip()
        with open(target, "rb") as f:
            return f.read(), ""


with open(sys.argv[1], "rb") as f:
    raw = f.read()
message = email.message_from_bytes(raw, policy=email.policy.default)

# A store may keep LF alone where CR LF travelled.
lines = raw.replace(b"\r\n", b"\n").split(b"\n")
head = lines[:lines.index(b"")] if b"" in lines else lines
defects = [repr(d) for d in message.defects]
for name, value in message.items():
    defects += ["%s: %r" % (name, d) for d in getattr(value, "defects", ())]

parts = []
uudecoder = "GNU uudecode" if shutil.which("uudecode") else ""
for part in message.walk():
    defects += ["part %s: %r" % (part.get_content_type(), d) for d in part.defects]
    for name, value in part.items():
        defects += ["part %s: %r" % (name, d) for d in getattr(value, "defects", ())]
    if part.is_multipart():
        continue
    filename = part.get_filename()
    problem = ""
    if filename and filename.endswith(".uue"):
        content, problem = uudecode(part.get_content() if part.get_content_maintype() == "text"
                                    else part.get_payload(decode=True).decode("ascii")) if uudecoder else (b"", "")
    else:
        content = part.get_payload(decode=True) or b""
    text = None
    if part.get_content_type() == "text/plain" and not filename:
        text = part.get_content().replace("\r\n", "\n")
    parts.append({
        "type": part.get_content_type(),
        "charset": part.get_param("charset") or "",
        "encoding": part.get("Content-Transfer-Encoding", "").lower(),
        "disposition": part.get_content_disposition(),
        "filename": filename,
        "sha256": hashlib.sha256(content or b"").hexdigest(),
        "size": len(content or b""),
        "problem": problem,
        "text": text,
    })

date = message["Date"]
print(json.dumps({
    "from": addresses(message, "From"),
    "to": addresses(message, "To"),
    "cc": addresses(message, "Cc"),
    "reply_to": addresses(message, "Reply-To"),
    "to_fields": len(message.get_all("To", [])),
    "cc_fields": len(message.get_all("Cc", [])),
    "subject": str(message["Subject"] or ""),
    "date_offset": date.datetime.utcoffset().total_seconds() if date is not None and date.datetime else None,
    "message_id": str(message["Message-ID"] or ""),
    "defects": defects,
    "longest_header_line": max(len(line) for line in head),
    "blank_ended_lines": sum(1 for line in lines if line.endswith(b" ") and line.strip()),
    "eight_bit": any(b >= 128 for b in raw),
    "longest_line": max(len(line) for line in lines),
    "uudecoder": uudecoder,
    "parts": parts,
}))
