#!/usr/bin/python3
"""Builds the manual's HTML page from docs/manual.md.

    manual_html.py MANUAL.md OUTPUT.html

The page is one self-contained file (its style inline) that the program
opens in the browser at a help topic's anchor. Headings get ids from their
words ("Where the program keeps its files" is #where-the-program-keeps-its-files);
the help topics that are not headings are marked in the text with
<a id="..."></a>. A table of contents follows the title.

Fails (status 1, nothing written) when two elements would share an id: a
help link could then land in the wrong place.
"""

import html
import os
import re
import sys

import markdown

STYLE = """
body { font-family: sans-serif; line-height: 1.45; max-width: 52em; margin: 2em auto;
       padding: 0 1em; color: #1d1d1f; background: #fff; }
h1, h2, h3, h4 { line-height: 1.2; margin-top: 1.6em; }
h1 { border-bottom: 2px solid #2b5d8a; padding-bottom: .3em; }
code, pre { font-family: monospace; font-size: .95em; }
pre { background: #f3f5f7; padding: .7em 1em; overflow-x: auto; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { border: 1px solid #c8cdd2; padding: .3em .6em; vertical-align: top; text-align: left; }
th { background: #eef2f6; }
nav.toc { background: #f7f9fb; border: 1px solid #dde3e8; padding: .4em 1.2em; }
nav.toc ul { padding-left: 1.2em; }
:target { background: #fff5c2; }
@media (prefers-color-scheme: dark) {
  body { color: #e4e6e8; background: #1e2124; }
  pre, nav.toc { background: #2a2e33; border-color: #3a4047; }
  th { background: #2f353b; }
  th, td { border-color: #4a525a; }
  :target { background: #4a4220; }
}
"""


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: manual_html.py MANUAL.md OUTPUT.html\n")
        return 2
    source, output = argv[1], argv[2]
    with open(source, encoding="utf-8") as f:
        text = f.read()

    md = markdown.Markdown(extensions=["tables", "fenced_code", "toc"],
                           extension_configs={"toc": {"toc_depth": "2-3"}},
                           output_format="html")
    body = md.convert(text)

    ids = re.findall(r'\bid="([^"]*)"', body)
    seen, doubled = set(), []
    for anchor in ids:
        if anchor in seen:
            doubled.append(anchor)
        seen.add(anchor)
    if doubled:
        sys.stderr.write("%s: ids used twice: %s\n" % (source, ", ".join(sorted(set(doubled)))))
        return 1

    title_match = re.search(r"<h1[^>]*>(.*?)</h1>", body, re.S)
    title = re.sub(r"<[^>]+>", "", title_match.group(1)) if title_match else "Manual"
    contents = '<nav class="toc">\n<p><strong>Contents</strong></p>\n%s</nav>\n' % md.toc
    if title_match:
        body = body[:title_match.end()] + "\n" + contents + body[title_match.end():]
    else:
        body = contents + body

    page = ("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<title>%s</title>\n<style>%s</style>\n</head>\n<body>\n%s\n</body>\n</html>\n"
            % (html.escape(html.unescape(title), quote=False), STYLE, body))

    partial = output + ".part"
    with open(partial, "w", encoding="utf-8") as f:
        f.write(page)
    os.replace(partial, output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
