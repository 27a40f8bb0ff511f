#!/usr/bin/env python3
"""The C# example compiles, and the README's C# snippets are taken from it.

Usage: check_csharp.py MCS EXAMPLE README OUTPUT
Compiles EXAMPLE with Mono's C# compiler MCS into OUTPUT, warnings as errors,
then checks that every ```csharp block of README appears in EXAMPLE line for
line (indentation aside).
"""
import re
import subprocess
import sys

BLOCK = re.compile(r"^```csharp\n(.*?)^```", re.M | re.S)


def lines(text):
    return [line.strip() for line in text.splitlines() if line.strip()]


def contains(whole, part):
    return any(whole[i:i + len(part)] == part for i in range(len(whole) - len(part) + 1))


def main(argv):
    if len(argv) != 5:
        sys.exit(__doc__)
    mcs, example, readme, output = argv[1:]
    done = subprocess.run([mcs, "-warnaserror+", "-target:exe", f"-out:{output}", example])
    if done.returncode != 0:
        return f"{example} does not compile"
    source = lines(open(example).read())
    blocks = BLOCK.findall(open(readme).read())
    if not blocks:
        return f"{readme} has no csharp block"
    stale = [block for block in blocks if not contains(source, lines(block))]
    for block in stale:
        print(f"{readme}: this csharp block is not in {example}:\n{block}")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
