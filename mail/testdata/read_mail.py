"""Says what a mail reader sees in messages: Python's own email package,
with its current policy, reads each message file named on the command
line and prints "message" and then one line per finding, fields separated
by tabs, every text as the hex of its UTF-8 bytes:

    header   NAME  VALUE                     each header, decoded
    address  NAME  DISPLAY-NAME  ADDRESS     each address of an address header
    date     NAME  ISO-DATE-TIME             each date header, as read
    multipart TYPE                           each multipart container
    part     TYPE  CHARSET  ENCODING  DISPOSITION  FILENAME  CONTENT
    defect   WHERE  NAME                     each defect the parser found

CONTENT is the decoded text of a text part and the decoded bytes of any
other. Used by the tests as a reader no one here wrote.
"""
import email
import email.policy
import sys


def h(text):
    if isinstance(text, bytes):
        return text.hex()
    return str(text).encode("utf-8", "surrogateescape").hex()


def describe(path):
    with open(path, "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.default)
    out = [["message"]]
    for name, value in message.items():
        out.append(["header", h(name), h(str(value))])
        for defect in getattr(value, "defects", []):
            out.append(["defect", h(name), h(type(defect).__name__)])
        if getattr(value, "datetime", None) is not None:
            out.append(["date", h(name), h(value.datetime.isoformat())])
        for address in getattr(value, "addresses", ()):
            out.append(["address", h(name), h(address.display_name), h(address.addr_spec)])
    for part in message.walk():
        for defect in part.defects:
            out.append(["defect", h(part.get_content_type()), h(type(defect).__name__)])
        if part.is_multipart():
            out.append(["multipart", h(part.get_content_type())])
            continue
        content = part.get_content()
        out.append(["part", h(part.get_content_type()), h(part.get_content_charset() or ""),
                    h(part.get("Content-Transfer-Encoding", "")),
                    h(part.get_content_disposition() or ""), h(part.get_filename() or ""),
                    h(content)])
    for fields in out:
        print("\t".join(fields))


for path in sys.argv[1:]:
    describe(path)
