"""tools/debian_root.sh: the mirror it takes from an apt configuration."""
import os
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(ROOT, "tools", "debian_root.sh")


def mirror(apt, codename="bookworm"):
    run = subprocess.run(["bash", "-c", 'source "$1"; host_mirror "$2" "$3"', "sh", SCRIPT,
                          str(apt), codename], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return run.stdout.split()


def apt_dir(tmp_path, files):
    (tmp_path / "sources.list.d").mkdir()
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    return tmp_path


SECURITY = """Types: deb
URIs: http://security.example/debian-security
Suites: bookworm-security
Components: main
"""


@pytest.mark.parametrize("files,want", [
    # deb822: the stanza of the release itself, not the security one before it
    ({"sources.list.d/debian.sources": SECURITY + "\n# the release\nTypes: deb deb-src\n"
      "URIs: http://mirror.example/debian\nSuites: bookworm bookworm-updates\n"
      "Components: main contrib\n"}, ["http://mirror.example/debian"]),
    # a disabled stanza, one without main and one of sources only are skipped
    ({"sources.list.d/a.sources": "Enabled: no\nTypes: deb\nURIs: http://off.example/d\n"
      "Suites: bookworm\nComponents: main\n\nTypes: deb\nURIs: http://contrib.example/d\n"
      "Suites: bookworm\nComponents: contrib\n\nTypes: deb-src\nURIs: http://src.example/d\n"
      "Suites: bookworm\nComponents: main\n\nTypes: deb\nURIs: http://on.example/d\n"
      "Suites: bookworm\nComponents: main"}, ["http://on.example/d"]),
    # one-line entries, with options, after a security line
    ({"sources.list": "# deb http://old.example/d bookworm main\n"
      "deb http://security.example/s bookworm-security main\n"
      "deb [arch=amd64 signed-by=/k.gpg] http://mirror.example/debian/ bookworm main contrib\n"},
     ["http://mirror.example/debian/"]),
    # another archive for another suite, and no entry for the release at all
    ({"sources.list.d/other.list": "deb https://vendor.example/apt stable main\n",
      "sources.list.d/s.sources": SECURITY}, []),
])
def test_mirror_from_apt_sources(tmp_path, files, want):
    assert mirror(apt_dir(tmp_path, files)) == want


def test_mirror_follows_the_release(tmp_path):
    apt = apt_dir(tmp_path, {"sources.list": "deb http://a.example/d bookworm main\n"
                                             "deb http://b.example/d trixie main\n"})
    assert mirror(apt, "trixie") == ["http://b.example/d"]
    assert mirror(apt, "bookworm") == ["http://a.example/d"]
