"""The README and the docs pages link to each other: every relative link
must reach a file that exists, and a heading there when it names one."""

import re

from wine_harness import ROOT

PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
# [text](target), outside code spans; a target with a scheme is not ours.
LINK = re.compile(r"(?<!`)\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^```.*?^```", re.M | re.S)


def anchors(page):
    """The anchors that headings give a page, named as GitHub names them:
    lower case, punctuation dropped, spaces made hyphens."""
    text = FENCE.sub("", page.read_text())
    names = {}
    for heading in re.findall(r"^#{1,6} (.+)$", text, re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.replace("`", "").lower()).replace(" ", "-")
        count = names.get(slug, 0)
        names[slug] = count + 1
        names.setdefault(f"{slug}-{count}" if count else slug, 1)
    return set(names)


def test_every_relative_link_in_the_readme_and_docs_resolves():
    assert len(PAGES) >= 8, PAGES
    broken = []
    for page in PAGES:
        for target in LINK.findall(FENCE.sub("", page.read_text())):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            linked = (page.parent / path).resolve() if path else page
            if not linked.exists():
                broken.append(f"{page.name}: {target} (no such file)")
            elif anchor and linked.suffix == ".md" and anchor not in anchors(linked):
                broken.append(f"{page.name}: {target} (no such heading)")
    assert broken == []
