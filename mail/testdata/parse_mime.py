"""Describes a MIME message the way a mail client sees it.

Reads the message file named by the first argument with Python's standard
email package and prints one line per leaf part:
    content-type<TAB>charset<TAB>disposition<TAB>filename<TAB>content-id<TAB>payload-hex
and before them one line with the To, CC and Subject headers and the
defects the parser found. Used by the mail tests as an independent reader.
"""
import email
import email.policy
import sys


def main():
    with open(sys.argv[1], "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.compat32)
    defects = [type(d).__name__ for d in message.defects]
    for part in message.walk():
        defects += [type(d).__name__ for d in part.defects]
    print("headers\t%s\t%s\t%s\t%s" % (message.get("To", ""), message.get("CC", ""),
                                      message.get("Subject", ""), ",".join(defects)))
    for part in message.walk():
        if part.is_multipart():
            print("multipart\t%s" % part.get_content_type())
            continue
        payload = part.get_payload(decode=True) or b""
        print("\t".join([
            part.get_content_type(),
            part.get_content_charset() or "",
            part.get("Content-Disposition", ""),
            part.get_filename() or "",
            part.get("Content-ID", ""),
            payload.hex(),
        ]))


main()
