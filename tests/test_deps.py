"""tools/deps.sh, the one install step: it waits for apt's lock instead of failing on
it, never runs two installs at once, and keeps apt's own message on a real failure.

apt-get and dpkg-query are stand-ins on PATH that log what they are asked to do."""
import os
import subprocess
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(ROOT, "tools", "deps.sh")

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="tools/deps.sh re-runs itself with sudo")


def fake_tools(tmp_path, apt_body):
    bin_ = tmp_path / "bin"
    bin_.mkdir()
    # every package is missing until the fake apt-get "installs" it
    (bin_ / "dpkg-query").write_text(textwrap.dedent(f"""\
        #!/bin/bash
        pkg="${{@: -1}}"
        grep -qx "$pkg" "{tmp_path}/installed" 2>/dev/null && echo -n "install ok installed" && exit 0
        exit 1
        """))
    (bin_ / "apt-get").write_text("#!/bin/bash\nLOG=%s/log\nSTATE=%s\n%s" % (
        tmp_path, tmp_path, textwrap.dedent(apt_body)))
    for f in bin_.iterdir():
        f.chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_}:{os.environ['PATH']}",
               HALCYRA_APT_LOCK=str(tmp_path / "apt.lock"), HALCYRA_APT_WAIT="30")
    return env


INSTALLS = """
    if [ "${@: -1}" = -qq ]; then echo "update" >> $LOG; exit 0; fi
    echo "start $$" >> $LOG; sleep 1
    for a in "$@"; do case $a in -*|install|DPkg*) ;; *) echo "$a" >> $STATE/installed ;; esac; done
    echo "end $$" >> $LOG
"""


def run(env, *groups):
    return subprocess.run(["bash", SCRIPT, *groups], env=env, capture_output=True, text=True,
                          timeout=120)


def test_waits_for_a_lock_another_apt_holds(tmp_path):
    env = fake_tools(tmp_path, """
        n=$(cat $STATE/tries 2>/dev/null || echo 0); echo $((n + 1)) > $STATE/tries
        if [ "$n" -lt 2 ]; then
          echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 42 (apt-get)" >&2
          exit 100
        fi
    """ + INSTALLS)
    r = run(env, "roots")
    assert r.returncode == 0, r.stderr
    assert "held by process 42 (apt-get)" in r.stdout
    assert (tmp_path / "tries").read_text().strip() == "4"   # two refusals, update, install
    assert (tmp_path / "installed").read_text().split() == [
        "debootstrap", "debian-archive-keyring", "wget"]
    # nothing missing now: no apt at all
    (tmp_path / "log").unlink()
    assert run(env, "roots").returncode == 0
    assert not (tmp_path / "log").exists()


def test_concurrent_installs_take_turns(tmp_path):
    env = fake_tools(tmp_path, INSTALLS)
    procs = [subprocess.Popen(["bash", SCRIPT, "roots"], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) for _ in range(3)]
    for p in procs:
        assert p.wait(timeout=120) == 0, p.stderr.read()
    events = [line.split()[0] for line in (tmp_path / "log").read_text().splitlines()
              if line != "update"]
    # the first run installs; the others find everything there once it ends
    assert events == ["start", "end"]


def test_a_failed_install_fails_with_apts_message(tmp_path):
    env = fake_tools(tmp_path, """
        if [ "${@: -1}" = -qq ]; then exit 0; fi
        echo "E: Unable to locate package debootstrap" >&2; exit 100
    """)
    r = run(env, "roots")
    assert r.returncode != 0
    assert "E: Unable to locate package debootstrap" in r.stderr
    assert not (tmp_path / "installed").exists()


def test_unknown_group_is_refused(tmp_path):
    r = run(fake_tools(tmp_path, "exit 1"), "nonsense")
    assert r.returncode == 2 and "unknown group 'nonsense'" in r.stderr
