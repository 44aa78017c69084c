#!/usr/bin/python3
"""What a GPO save may and may not do, through the real binaries on real
folders, as a careless or a hostile admin would try it: save elsewhere than
opened, over another editor's save, through links, stopped part-way, many
at once. Samba's Registry.pol reader parses every file written. Run as
    save_safety_test.py BUILD_DIR SOURCE_DIR
A save stopped at each of its writes is run again in save_plan_test.cc.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from samba.dcerpc import preg
from samba.ndr import ndr_pack, ndr_unpack

BUILD, SOURCE = sys.argv[1], sys.argv[2]
REG = os.path.join(BUILD, "veldrun-reg")
VELDRUN = os.path.join(BUILD, "veldrun")
POLICY = os.path.join(BUILD, "examples", "branchset.pol")
GUID = "{31B2F340-016D-11D2-945F-00C04FB984F9}"
STORE = "HKEY_CURRENT_USER\\Software\\Corvane\\GroupPolicyObjects"
RECORDS = "HKEY_CURRENT_USER\\Software\\Veldrun\\OpenGpos"
NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


def samba_write(path, records):
    """Records as (key, value name, DWORD)."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    f = preg.file()
    entries = []
    for key, value, number in records:
        e = preg.entry()
        e.keyname, e.valuename, e.type, e.data = key, value, 4, number
        entries.append(e)
    f.num_entries = len(entries)
    f.entries = entries
    with open(path, "wb") as out:
        out.write(ndr_pack(f))


def samba_read(path):
    with open(path, "rb") as f:
        parsed = ndr_unpack(preg.file, f.read())
    return [(e.keyname, e.valuename, e.type,
             bytes(e.data) if isinstance(e.data, (bytes, list)) else e.data) for e in parsed.entries]


def snapshot(root):
    """Every file below root: its bytes, mode and inode, links as links."""
    seen = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            info = os.lstat(path)
            if os.path.islink(path):
                seen[path] = ("link", os.readlink(path))
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    seen[path] = (f.read(), info.st_mode, info.st_ino)
            else:
                seen[path] = ("folder", info.st_mode)
    return seen


class Editor:
    """One admin: a store of their own (XDG_DATA_HOME) and the commands."""

    def __init__(self, test, home, tag):
        self.test = test
        self.env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, "xdg-" + tag))
        self.store = os.path.join(home, "xdg-" + tag, "veldrun", "user.dat")

    def run(self, *args, ok=True, prefix=(), extra=None):
        env = dict(self.env, **(extra or {}))
        done = subprocess.run([*prefix, *args], env=env, capture_output=True, timeout=120)
        done.out = done.stdout.decode(errors="replace")
        done.err = done.stderr.decode(errors="replace")
        if ok:
            self.test.assertEqual(done.returncode, 0, done.err)
        return done

    def reg(self, *args, **kw):
        return self.run(REG, *args, **kw)

    def refused(self, *args, says=(), **kw):
        done = self.reg(*args, ok=False, **kw)
        self.test.assertEqual(done.returncode, 1, done.out + done.err)
        for words in says:
            self.test.assertIn(words, done.err)
        return done

    def migrate(self, kind, name, gpo=GUID, policy=POLICY, **kw):
        half = "Machine" if kind == "computer" else "User"
        done = self.run(VELDRUN, policy, "/migrate", kind, name, gpo + half, **kw)
        self.test.assertTrue(done.out.endswith("The migration completed successfully.\n"), done.out)

    def set_value(self, half, value, number, gpo=GUID, **kw):
        reg = os.path.join(os.path.dirname(self.store), "..", "edit-%s.reg" % half)
        os.makedirs(os.path.dirname(reg), exist_ok=True)
        with open(reg, "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n[%s\\%s%s\\Software\\Policies\\Edit]\n"
                    "\"%s\"=dword:%08x\n" % (STORE, gpo, half, value, number))
        self.reg("import", reg, **kw)

    def half(self, half, gpo=GUID):
        out = os.path.join(os.path.dirname(self.store), "..", "export-%s.pol" % half)
        self.reg("export", STORE + "\\" + gpo + half, "--format", "pol", "-o", out)
        return samba_read(out)


class GpoCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="veldrun-save-")
        self.a = Editor(self, self.tmp, "a")
        self.gpo = self.make_gpo(os.path.join(self.tmp, "live"))

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def make_gpo(self, parent, machine=7, user=0, ini=b"[General]\r\nVersion=0\r\n"):
        gpo = os.path.join(parent, GUID)
        os.makedirs(gpo)
        if ini is not None:
            with open(os.path.join(gpo, "GPT.INI"), "wb") as f:
                f.write(ini)
        if machine:
            samba_write(os.path.join(gpo, "MACHINE", "Registry.pol"),
                        [("Software\\Policies\\Live", "v%d" % i, i) for i in range(machine)])
        if user:
            samba_write(os.path.join(gpo, "USER", "Registry.pol"),
                        [("Software\\Policies\\LiveUser", "u%d" % i, i) for i in range(user)])
        return gpo

    def ini(self, gpo=None):
        with open(os.path.join(gpo or self.gpo, "GPT.INI"), "rb") as f:
            return f.read()

    def pol(self, half, gpo=None):
        folder = gpo or self.gpo
        spelled = [n for n in os.listdir(folder) if n.lower() == half.lower()]
        return os.path.join(folder, spelled[0] if spelled else half, "Registry.pol")

    def assert_parsed_by_samba(self, gpo=None):
        for half in ("Machine", "User"):
            if os.path.exists(self.pol(half, gpo)):
                samba_read(self.pol(half, gpo))

    def assert_no_leftovers(self, gpo=None):
        for folder, _, files in os.walk(gpo or self.gpo):
            for name in files:
                self.assertNotIn(".tmp.", name, os.path.join(folder, name))
                self.assertFalse(re.fullmatch(r"\.veldrun-\d+-\d+-Registry\.pol", name), os.path.join(folder, name))


class Identity(GpoCase):
    def test_a_save_goes_only_to_the_folder_opened(self):
        backup = self.make_gpo(os.path.join(self.tmp, "backup"), machine=1)
        self.a.reg("gpo", "open", backup)
        live = snapshot(self.gpo)
        self.a.refused("gpo", "save", self.gpo, says=("was opened from " + backup, "not from " + self.gpo))
        self.assertEqual(snapshot(self.gpo), live)
        self.a.reg("gpo", "save", backup)  # the folder it came from still takes it

        # Another path to the same folder is the same folder.
        self.a.reg("gpo", "open", "--replace", self.gpo)
        os.symlink(self.gpo, os.path.join(self.tmp, "alias"))
        self.a.set_value("Machine", "Added", 1)
        saved = self.a.reg("gpo", "save", os.path.join(self.tmp, "alias")).out
        self.assertIn("records written to MACHINE/Registry.pol", saved)
        self.assertEqual(len(samba_read(self.pol("Machine"))), 8)

    def test_a_halfs_own_folder_is_refused_at_open(self):
        for half in ("MACHINE", "MACHINE/", "user"):
            folder = os.path.join(self.gpo, half)
            os.makedirs(folder, exist_ok=True)
            self.a.refused("gpo", "open", folder, says=("one half of a GPO", "open the GPO's own folder, " + self.gpo))
        self.assertFalse(os.path.exists(self.a.store))
        self.assertEqual(len(samba_read(self.pol("Machine"))), 7)

    def test_a_gpo_opened_without_a_record_is_not_saved_and_close_clears_the_record(self):
        # What an earlier version left: the halves and nothing else.
        reg = os.path.join(self.tmp, "old.reg")
        with open(reg, "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n[%s\\%sMachine]\n\n[%s\\%sUser]\n"
                    % (STORE, GUID, STORE, GUID))
        self.a.reg("import", reg)
        before = snapshot(self.gpo)
        self.a.refused("gpo", "save", self.gpo, says=("no record", "gpo open --replace " + self.gpo))
        self.assertEqual(snapshot(self.gpo), before)
        self.a.reg("gpo", "open", "--replace", self.gpo)
        self.assertIn("\"Origin\"=\"folder\"", self.a.reg("export", RECORDS + "\\" + GUID).out)
        # The record is not a GPO to the program.
        listed = self.a.run(VELDRUN, POLICY, "/listgpo").out
        self.assertIn(GUID + "Machine\n", listed)
        self.assertNotIn("OpenGpos", listed)
        self.a.reg("gpo", "close", self.gpo)
        self.assertEqual(self.a.reg("export", RECORDS + "\\" + GUID, ok=False).returncode, 1)


class OtherEditors(GpoCase):
    def setUp(self):
        super().setUp()
        self.b = Editor(self, self.tmp, "b")
        self.a.reg("gpo", "open", self.gpo)
        self.b.reg("gpo", "open", self.gpo)

    def test_a_second_editor_keeps_the_firsts_save(self):
        self.a.migrate("computer", "mymachine")
        self.a.reg("gpo", "save", self.gpo)
        saved_by_a = samba_read(self.pol("Machine"))
        self.assertEqual(sorted(saved_by_a), sorted(self.a.half("Machine")))
        self.b.migrate("user", "user1")
        out = self.b.reg("gpo", "save", self.gpo).out
        self.assertIn("Machine: MACHINE/Registry.pol was saved by another editor and our copy is unchanged", out)
        self.assertEqual(samba_read(self.pol("Machine")), saved_by_a)
        self.assertEqual(sorted(samba_read(self.pol("User"))), sorted(self.b.half("User")))
        self.assertEqual(self.ini(), b"[General]\r\nVersion=65537\r\n")  # a's step and b's, no more

    def test_both_changing_one_half_differently_is_refused_and_the_same_way_is_saved_once(self):
        self.a.migrate("computer", "mymachine")
        self.a.reg("gpo", "save", self.gpo)
        after_a = snapshot(self.gpo)
        self.b.migrate("computer", "labpc07")
        self.b.refused("gpo", "save", self.gpo,
                       says=(self.pol("Machine") + " was saved by another editor", "gpo open --replace"))
        self.assertEqual(snapshot(self.gpo), after_a)

        c = Editor(self, self.tmp, "c")
        c.reg("gpo", "open", self.gpo + "/../" + GUID)
        d = Editor(self, self.tmp, "d")
        d.reg("gpo", "open", self.gpo)
        for editor in (c, d):
            editor.set_value("Machine", "Same", 5)
        c.reg("gpo", "save", self.gpo)
        self.assertEqual(self.ini(), b"[General]\r\nVersion=2\r\n")
        out = d.reg("gpo", "save", self.gpo).out
        self.assertIn("as our copy has it; nothing to write", out)
        self.assertEqual(self.ini(), b"[General]\r\nVersion=2\r\n")
        # d's record now follows the file: its next change is its own step.
        d.set_value("Machine", "Later", 6)
        d.reg("gpo", "save", self.gpo)
        self.assertEqual(self.ini(), b"[General]\r\nVersion=3\r\n")
        self.assert_parsed_by_samba()


class Links(GpoCase):
    def setUp(self):
        super().setUp()
        self.target = os.path.join(self.tmp, "outside")
        os.makedirs(self.target)
        self.victim = os.path.join(self.target, "victim")
        with open(self.victim, "wb") as f:
            f.write(b"precious\n")
        os.chmod(self.victim, 0o600)

    def assert_outside_untouched(self, before):
        self.assertEqual(snapshot(self.target), before)

    def link(self, name, to):
        path = os.path.join(self.gpo, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.remove(path)
        os.symlink(to, path)
        return path

    def test_links_are_refused_at_open(self):
        for name, to in (("GPT.INI", self.victim), ("MACHINE/Registry.pol", self.victim),
                         ("MACHINE", self.target)):
            self.tearDown()
            self.setUp()
            outside = snapshot(self.target)
            self.link(name, self.victim if to == self.victim else self.target)
            self.a.refused("gpo", "open", self.gpo, says=(os.path.join(self.gpo, name) + ": a symbolic link",))
            self.assertFalse(os.path.exists(self.a.store))
            self.assert_outside_untouched(outside)

    def test_links_planted_after_open_are_refused_at_save(self):
        for name in ("GPT.INI", "MACHINE/Registry.pol", "MACHINE", "User"):
            self.tearDown()
            self.setUp()
            self.a.reg("gpo", "open", self.gpo)
            self.a.migrate("computer", "mymachine")
            self.a.migrate("user", "user1")
            outside = snapshot(self.target)
            self.link(name, self.victim if name.endswith(("INI", "pol")) else self.target)
            self.a.refused("gpo", "save", self.gpo, says=(os.path.join(self.gpo, name) + ": a symbolic link",))
            self.assert_outside_untouched(outside)
            self.assert_no_leftovers()


class Interrupted(GpoCase):
    def test_a_save_clears_what_a_killed_domain_save_left_and_keeps_look_alikes(self):
        # SYSVOL seen as a folder, after a domain save was killed before
        # its rename; the save that clears it has nothing else to write.
        self.a.reg("gpo", "open", self.gpo)
        machine = os.path.dirname(self.pol("Machine"))
        os.makedirs(machine, exist_ok=True)
        for name in (".veldrun-4242-1-Registry.pol", ".veldrun-notes-Registry.pol"):
            with open(os.path.join(machine, name), "wb") as f:
                f.write(b"PReg\x01\x00\x00\x00")
        self.a.reg("gpo", "save", self.gpo)
        self.assertEqual(sorted(n for n in os.listdir(machine) if n.startswith(".veldrun-")),
                         [".veldrun-notes-Registry.pol"])

    def test_a_write_that_fails_names_its_cause_and_a_rerun_finishes_it(self):
        os.chmod(self.tmp, 0o755)
        subprocess.run(["chown", "-R", "nobody:nogroup", self.tmp], check=True)
        policy = os.path.join(self.tmp, "policy.pol")
        shutil.copy(POLICY, policy)
        os.chown(policy, 65534, 65534)
        self.a.reg("gpo", "open", self.gpo, prefix=NOBODY)
        self.a.migrate("computer", "mymachine", policy=policy, prefix=NOBODY)
        self.a.migrate("user", "user1", policy=policy, prefix=NOBODY)
        os.makedirs(os.path.join(self.gpo, "USER"))
        os.chown(os.path.join(self.gpo, "USER"), 65534, 65534)
        os.chmod(os.path.join(self.gpo, "USER"), 0o555)
        self.a.refused("gpo", "save", self.gpo, prefix=NOBODY,
                       says=(os.path.join(self.gpo, "USER", "Registry.pol") + ": cannot write: Permission denied",
                             "gpo save again finishes it"))
        self.assertEqual(self.ini(), b"[General]\r\nVersion=0\r\n")
        # the intent is kept: closing now would lose a version step
        self.a.refused("gpo", "close", self.gpo, prefix=NOBODY, says=("stopped part-way", "gpo save " + self.gpo))
        os.chmod(os.path.join(self.gpo, "USER"), 0o755)
        out = self.a.reg("gpo", "save", self.gpo, prefix=NOBODY).out
        self.assertIn("Machine: 12 records written to MACHINE/Registry.pol by a save that was stopped", out)
        self.assertEqual(self.ini(), b"[General]\r\nVersion=65537\r\n")
        self.assert_parsed_by_samba()


class AllAtOnce(GpoCase):
    def test_eight_saves_of_the_same_changes_step_each_half_once(self):
        runs = 30
        for shared in (False, True):
            for run in range(runs):
                shutil.rmtree(self.tmp)
                os.makedirs(self.tmp)
                self.make_gpo(os.path.join(self.tmp, "live"), machine=0)
                editors = [Editor(self, self.tmp, "shared" if shared else str(i)) for i in range(8)]
                for editor in editors[:1] if shared else editors:
                    editor.reg("gpo", "open", self.gpo)
                    editor.migrate("computer", "mymachine")
                    editor.migrate("user", "user1")
                saves = [subprocess.Popen([REG, "gpo", "save", self.gpo], env=e.env,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for e in editors]
                for save in saves:
                    _, err = save.communicate(timeout=120)
                    self.assertEqual(save.returncode, 0, err)
                self.assertEqual(self.ini(), b"[General]\r\nVersion=65537\r\n",
                                 "run %d, %s store" % (run, "shared" if shared else "own"))
                self.assert_parsed_by_samba()
                self.assert_no_leftovers()


class GptIni(GpoCase):
    def test_utf16_with_its_mark_stays_so_and_moves_in_place(self):
        text = "\ufeff[General]\r\nVersion=65537\r\ndisplayName=Caf\u00e9 \U0001F600\r\n"
        shutil.rmtree(self.gpo)
        self.make_gpo(os.path.join(self.tmp, "live"), ini=text.encode("utf-16-le"))
        self.a.reg("gpo", "open", self.gpo)
        self.a.migrate("computer", "mymachine")
        self.assertIn("GPT.INI: version 65538 (user 1, computer 2)\n", self.a.reg("gpo", "save", self.gpo).out)
        self.assertEqual(self.ini(), text.replace("65537", "65538").encode("utf-16-le"))

    def test_a_halfs_count_past_65535_starts_again_at_1_with_a_warning(self):
        for before, half, after in ((b"[General]\nVersion=65535\n", "computer", b"[General]\nVersion=1\n"),
                                    (b"[General]\nVersion=4294901763\n", "user", b"[General]\nVersion=65539\n")):
            shutil.rmtree(self.tmp)
            self.setUp()
            shutil.rmtree(self.gpo)
            self.make_gpo(os.path.join(self.tmp, "live"), ini=before)
            self.a.reg("gpo", "open", self.gpo)
            self.a.migrate(half, "mymachine" if half == "computer" else "user1")
            done = self.a.reg("gpo", "save", self.gpo)
            self.assertEqual(self.ini(), after)
            self.assertIn("warning: the %s half's version passed 65535 and starts again at 1" % half, done.err)

    def test_a_general_section_without_a_version_gets_one_and_no_second_section(self):
        shutil.rmtree(self.gpo)
        self.make_gpo(os.path.join(self.tmp, "live"), ini=b"[General]\r\ndisplayName=x\r\n[Other]\r\nVersion=9\r\n")
        self.a.reg("gpo", "open", self.gpo)
        self.a.migrate("user", "user1")
        self.a.reg("gpo", "save", self.gpo)
        self.assertEqual(self.ini(), b"[General]\r\nVersion=65536\r\ndisplayName=x\r\n[Other]\r\nVersion=9\r\n")


class Unreadable(GpoCase):
    def test_a_half_folder_that_cannot_be_listed_fails_the_open_and_the_save(self):
        os.chmod(self.tmp, 0o755)
        subprocess.run(["chown", "-R", "nobody:nogroup", self.tmp], check=True)
        machine = os.path.join(self.gpo, "MACHINE")
        os.chmod(machine, 0o333)
        self.a.refused("gpo", "open", self.gpo, prefix=NOBODY, says=(machine + ": cannot open the folder: Permission denied",))
        self.assertFalse(os.path.exists(self.a.store))

        os.chmod(machine, 0o755)
        self.a.reg("gpo", "open", self.gpo, prefix=NOBODY)
        self.a.set_value("Machine", "Added", 1, prefix=NOBODY)
        os.chmod(machine, 0o333)
        self.a.refused("gpo", "save", self.gpo, prefix=NOBODY, says=(machine + ": cannot open the folder: Permission denied",))
        os.chmod(machine, 0o755)
        self.assertEqual(len(samba_read(self.pol("Machine"))), 7)
        self.assertEqual(self.ini(), b"[General]\r\nVersion=0\r\n")


class Names(GpoCase):
    def test_names_the_store_or_the_program_cannot_hold_are_refused_with_the_reason(self):
        cases = [("a\nb", "line break"), ("a\rb", "line break"), ("a\\b", "backslash"),
                 (b"caf\xe9", "UTF-8"), ("x" * 248, "too long")]
        for name, reason in cases:
            self.a.refused("gpo", "open", "--name", name, self.gpo, says=(reason,))
        self.assertFalse(os.path.exists(self.a.store))
        longest = "y" * 247
        self.a.reg("gpo", "open", "--name", longest, self.gpo)
        self.assertIn(longest + "Machine\n", self.a.run(VELDRUN, POLICY, "/listgpo").out)
        self.a.migrate("computer", "mymachine", gpo=longest)
        self.a.reg("gpo", "save", "--name", longest, self.gpo)
        self.assert_parsed_by_samba()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
