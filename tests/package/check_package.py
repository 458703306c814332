#!/usr/bin/env python3
"""Makes the release package from a Windows build folder and checks what it
holds: exactly the program, the user guide as HTML with its picture, the example
options file, the dashboard and SHA256SUMS
(no test doubles), sums that match, and a program that is stripped and needs
no DLL beyond Windows' own."""
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "ole32.dll", "shell32.dll", "advapi32.dll",
               "msvcrt.dll", "comdlg32.dll", "oleaut32.dll", "shlwapi.dll", "psapi.dll", "uuid.dll", "ws2_32.dll",
               "winhttp.dll", "api-ms-win-crt-runtime-l1-1-0.dll"}


def guide_problems(html, names):
    """The HTML guide is whole: every heading and table of the Markdown, the
    Chinese exit question intact, and every picture it shows in the package."""
    problems = []
    source = open(os.path.join(ROOT, "docs/USER-GUIDE.md"), encoding="utf-8").read()
    source = re.sub(r"^```.*?^```", "", source, flags=re.M | re.S)  # code blocks hold no headings
    if '<meta charset="utf-8">' not in html:
        problems.append("the HTML guide does not say it is UTF-8")
    headings = re.findall(r"^#+ (.+)$", source, re.M)
    shown = re.findall(r"<h[1-6]>(.*?)</h[1-6]>", html)
    if len(shown) != len(headings):
        problems.append(f"the HTML guide has {len(shown)} headings, the Markdown {len(headings)}")
    if html.count("<table>") != len(re.findall(r"^\|[-| ]+\|$", source, re.M)):
        problems.append("the HTML guide lost a table")
    if "\u786e\u8ba4\u9000\u51fa Miner GUI\uff1f" not in html:
        problems.append("the HTML guide lost the exit question")
    for src in re.findall(r'<img src="([^"]+)"', html):
        if src not in names:
            problems.append(f"the HTML guide shows {src}, which the package lacks")
    return problems


def main(build):
    version = re.search(r'kVersion = "(v[0-9.]+)"', open(os.path.join(ROOT, "src/core/build_profile.h")).read())[1]
    problems = []
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(["cpack", "-G", "ZIP", "-B", out], cwd=build, check=True, stdout=subprocess.DEVNULL)
        name = f"vorn-miner-gui-mainnet-{version}-win64.zip"
        path = os.path.join(out, name)
        if not os.path.exists(path):
            print(f"package: FAILED, no {name} among {os.listdir(out)}")
            return 1
        with zipfile.ZipFile(path) as package:
            names = sorted(package.namelist())
            expected = sorted(["vorn_miner_gui.exe", "USER-GUIDE.html", "screenshot.png", "options.example.json",
                               "grafana-dashboard.json", "SHA256SUMS"])
            if names != expected:
                problems.append(f"holds {names}, not {expected}")
            if "USER-GUIDE.html" in names:
                problems += guide_problems(package.read("USER-GUIDE.html").decode("utf-8"), names)
            sums = {}
            for line in package.read("SHA256SUMS").decode().splitlines():
                digest, listed = line.split("  ", 1)
                sums[listed] = digest
            for entry in expected:
                if entry != "SHA256SUMS" and entry in names:
                    if sums.get(entry) != hashlib.sha256(package.read(entry)).hexdigest():
                        problems.append(f"SHA256SUMS is wrong for {entry}")
            exe = os.path.join(out, "vorn_miner_gui.exe")
            package.extract("vorn_miner_gui.exe", out)
        sections = subprocess.run(["x86_64-w64-mingw32-objdump", "-h", exe], capture_output=True, text=True).stdout
        if ".debug_" in sections:
            problems.append("the program still has debug sections")
        imports = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True).stdout
        dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", imports)}
        if dlls - SYSTEM_DLLS:
            problems.append(f"the program needs {sorted(dlls - SYSTEM_DLLS)}")
        size = os.path.getsize(path)
    for p in problems:
        print(f"package: {p}")
    print(f"package: {name}, {size // 1024} KiB: " + ("ok" if not problems else "FAILED"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
