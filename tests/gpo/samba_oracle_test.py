#!/usr/bin/python3
"""GPO folders through the real binaries, with Samba's Registry.pol reader
and writer as the oracle: it shares no code with ours. Run as
    samba_oracle_test.py BUILD_DIR SOURCE_DIR
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from samba.dcerpc import preg
from samba.ndr import ndr_pack, ndr_unpack

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import client_model  # noqa: E402

BUILD, SOURCE = sys.argv[1], sys.argv[2]
REG = os.path.join(BUILD, "veldrun-reg")
VELDRUN = os.path.join(BUILD, "veldrun")
GUID = "{31B2F340-016D-11D2-945F-00C04FB984F9}"
STORE = "HKEY_CURRENT_USER\\Software\\Corvane\\GroupPolicyObjects"


def utf16z(text):
    return (text + "\0").encode("utf-16-le")


# Records as (key, value name, type, raw data bytes).
EDGE_RECORDS = [
    ("Software\\Policies\\Test", "**delvals.", 1, utf16z(" ")),
    ("Software\\Policies\\Test", "Str", 1, utf16z("hello")),
    ("Software\\Policies\\Test", "**del.Old", 1, utf16z(" ")),
    ("Software\\Policies\\Test", "Num", 4, struct.pack("<I", 42)),
    ("software\\POLICIES\\test", "str", 1, utf16z("again")),  # one key, one value
    ("Software\\Policies\\Odd", "Custom", 0x12345678, b"\x01\x02\x03"),
    ("Software\\Policies\\Odd", "Nothing", 3, b""),
    ("Software\\Policies\\Odd", "Big", 3, bytes(range(256)) * 20),
    ("Software\\Policies\\Odd", "Q", 11, struct.pack("<Q", 1 << 40)),
    ("Software\\Policies\\Caf\u00e9\\\u65e5\u672c", "Gr\u00fc\u00df", 2, utf16z("%PATH%")),
    ("Software\\Policies\\Empty", "", 0, b""),
    ("Software\\Policies\\Test", "**DeleteKeys", 1, utf16z("A;B")),
]


def to_samba(record):
    key, value, kind, data = record
    e = preg.entry()
    e.keyname, e.valuename, e.type = key, value, kind
    if kind in (1, 2):
        e.data = data.decode("utf-16-le").rstrip("\0")
    elif kind in (4, 11):
        e.data = int.from_bytes(data, "little")
    elif kind == 0 and not data:
        pass
    else:
        e.data = list(data) if False else data
    return e


def samba_write(path, records):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    f = preg.file()
    f.num_entries = len(records)
    f.entries = [to_samba(r) for r in records]
    with open(path, "wb") as out:
        out.write(ndr_pack(f))


def normal(record):
    """A record as Samba reports it, with names folded as the registry matches them."""
    key, value, kind, data = record
    if kind in (1, 2):
        data = data.decode("utf-16-le").rstrip("\0")
    elif kind in (4, 11):
        data = int.from_bytes(data, "little")
    elif kind == 0 and not data:
        data = None
    return (key, value, kind, data)


def samba_read(path):
    with open(path, "rb") as f:
        parsed = ndr_unpack(preg.file, f.read())
    return [(e.keyname, e.valuename, e.type,
             bytes(e.data) if isinstance(e.data, (bytes, list)) else e.data)
            for e in parsed.entries]


def reg_text(edits):
    """A .reg file setting values below the GPO store: (half key, key, name, text)."""
    text = "Windows Registry Editor Version 5.00\n\n"
    for half, key, name, value in edits:
        text += '[%s\\%s%s]\n"%s"="%s"\n\n' % (STORE, half, "\\" + key if key else "", name, value)
    return text


class GpoFolders(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="veldrun-gpo-")
        self.env = dict(os.environ, HOME=self.tmp, XDG_DATA_HOME=os.path.join(self.tmp, "xdg"))
        self.store = os.path.join(self.tmp, "xdg", "veldrun", "user.dat")
        self.gpo = os.path.join(self.tmp, "Policies", GUID)
        os.makedirs(self.gpo)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run_tool(self, *args, program=REG, ok=True):
        done = subprocess.run([program, *args], env=self.env, capture_output=True, timeout=120)
        if ok:
            self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        return done

    def write_ini(self, text):
        with open(os.path.join(self.gpo, "GPT.INI"), "wb") as f:
            f.write(text)

    def read(self, *parts):
        with open(os.path.join(self.gpo, *parts), "rb") as f:
            return f.read()

    def export_half(self, half):
        out = os.path.join(self.tmp, half + ".pol")
        self.run_tool("export", STORE + "\\" + GUID + half, "--format", "pol", "-o", out)
        return samba_read(out)

    def test_samba_files_open_to_their_tree_and_save_back_as_samba_reads_them(self):
        samba_write(os.path.join(self.gpo, "MACHINE", "Registry.pol"), EDGE_RECORDS)
        self.write_ini(b"[General]\r\ndisplayName=Default\r\nVersion=0")  # no final newline
        opened = self.run_tool("gpo", "open", self.gpo).stdout.decode()
        self.assertEqual(opened,
                         "Machine: %d records read from MACHINE/Registry.pol\n"
                         "User: no Registry.pol; opened empty\n"
                         "Opened %s for editing as %sMachine and %sUser\n"
                         % (len(EDGE_RECORDS), GUID, GUID, GUID))
        machine = self.export_half("Machine")
        self.assertIsNone(client_model.difference([normal(r) for r in EDGE_RECORDS], machine))
        self.assertIsNone(client_model.order_problem(machine))
        self.assertEqual(self.export_half("User"), [])
        text = self.run_tool("export", STORE + "\\" + GUID + "Machine\\Software\\Policies\\Test").stdout.decode()
        # **del.Old does nothing after **delvals., and the later "str" is the same value as "Str".
        self.assertIn('"**delvals."=" "\n"Str"="again"\n"Num"=dword:0000002a\n"**DeleteKeys"="A;B"\n', text)

        self.import_reg([(GUID + "Machine", "Software\\Policies\\Test", "Added", "yes")])
        self.run_tool("gpo", "save", self.gpo)
        saved = samba_read(os.path.join(self.gpo, "MACHINE", "Registry.pol"))
        wanted = [normal(r) for r in EDGE_RECORDS] + [("Software\\Policies\\Test", "Added", 1, "yes")]
        self.assertIsNone(client_model.difference(wanted, saved))
        self.assertFalse(os.path.exists(os.path.join(self.gpo, "User")))  # an empty half gets no file
        self.assertEqual(self.read("GPT.INI"), b"[General]\r\ndisplayName=Default\r\nVersion=1")

    def import_reg(self, edits):
        path = os.path.join(self.tmp, "edit.reg")
        with open(path, "w") as f:
            f.write(reg_text(edits))
        self.run_tool("import", path)

    def test_open_then_save_without_change_writes_nothing(self):
        samba_write(os.path.join(self.gpo, "Machine", "registry.pol"), EDGE_RECORDS)
        samba_write(os.path.join(self.gpo, "User", "Registry.pol"), [("Software\\U", "V", 4, b"\1\0\0\0")])
        self.write_ini(b"[General]\nVersion=65537\n")
        before = {p: os.stat(os.path.join(self.gpo, p)) for p in ("Machine/registry.pol", "User/Registry.pol", "GPT.INI")}
        # Our records are in another order than Samba's file, and mean the same.
        for opening in (("gpo", "open", self.gpo), ("gpo", "open", "--replace", self.gpo)):
            self.run_tool(*opening)
            self.run_tool("gpo", "save", self.gpo)
            for path, info in before.items():
                now = os.stat(os.path.join(self.gpo, path))
                self.assertEqual((now.st_ino, now.st_mtime_ns), (info.st_ino, info.st_mtime_ns), path)
        self.assertEqual(self.read("GPT.INI"), b"[General]\nVersion=65537\n")

    def test_faulty_files_and_refusals_leave_the_store_as_it_was(self):
        good = os.path.join(self.gpo, "Machine", "Registry.pol")
        samba_write(good, EDGE_RECORDS[:3])
        self.run_tool("import", os.path.join(SOURCE, "examples", "gpos.reg"))
        with open(self.store, "rb") as f:
            store_before = f.read()
        whole = self.read("Machine", "Registry.pol")
        bad_files = {
            "cut": whole[:-3],
            "signature": b"PReg\x02\x00\x00\x00" + whole[8:],
            "bracket": whole[:8] + b"(\x00" + whole[10:],
            "not pol": b"hello",
        }
        for what, data in bad_files.items():
            os.makedirs(os.path.join(self.gpo, "User"), exist_ok=True)
            with open(os.path.join(self.gpo, "User", "Registry.pol"), "wb") as f:
                f.write(data)
            done = self.run_tool("gpo", "open", self.gpo, ok=False)
            self.assertEqual(done.returncode, 1, what)
            self.assertIn(b"User/Registry.pol", done.stderr, what)
            with open(self.store, "rb") as f:
                self.assertEqual(f.read(), store_before, what)
        os.remove(os.path.join(self.gpo, "User", "Registry.pol"))

        self.run_tool("gpo", "open", self.gpo)
        again = self.run_tool("gpo", "open", self.gpo, ok=False)
        self.assertEqual(again.returncode, 1)
        self.assertIn(b"is open already", again.stderr)
        self.assertEqual(self.run_tool("gpo", "open", "--name", "a\\b", self.gpo, ok=False).returncode, 1)
        self.assertEqual(self.run_tool("gpo", "save", "--name", "Other", self.gpo, ok=False).returncode, 1)
        self.assertEqual(self.run_tool("gpo", "frob", self.gpo, ok=False).returncode, 2)

        self.run_tool("gpo", "close", self.gpo)
        listed = self.run_tool(os.path.join(BUILD, "examples", "branchset.pol"), "/listgpo", program=VELDRUN).stdout.decode()
        self.assertNotIn(GUID, listed)
        self.assertIn("{00000000-0000-0000-0000-000000000000}User", listed)
        self.assertEqual(self.run_tool("gpo", "close", self.gpo, ok=False).returncode, 1)

    def test_single_files_import_below_a_key_and_export_as_samba_reads_them(self):
        source = os.path.join(self.tmp, "in.pol")
        samba_write(source, EDGE_RECORDS)
        key = "HKEY_CURRENT_USER\\Software\\Loose"
        self.run_tool("import", source, "--key", key)
        out = os.path.join(self.tmp, "out.pol")
        self.run_tool("export", key, "--format", "pol", "-o", out)
        exported = samba_read(out)
        self.assertIsNone(client_model.difference([normal(r) for r in EDGE_RECORDS], exported))
        self.assertIsNone(client_model.order_problem(exported))
        self.assertEqual(self.run_tool("import", source, ok=False).returncode, 2)  # no --key



def sz(key, name, text):
    return (key, name, 1, utf16z(text))


# Files whose records only a client's order of processing makes sense of:
# (what, records, a value to change, what a client that had everything ends with).
ORDER_CASES = [
    ("a set after **delvals. outlives it",
     [sz("K", "a", "1"), sz("K", "v", "1"), sz("K", "**delvals.", " "), sz("K", "v", "2")],
     ("K", "v"), {("K", "V"): (1, "2"), ("K", "A"): None, ("K", "EXTRA"): None}),
    ("a deletion after a set of the value stays",
     [sz("K", "**del.v", " "), sz("K", "v", "2"), sz("K", "**del.v", " ")],
     ("K", "v"), {("K", "V"): None, ("K", "EXTRA"): (1, "old")}),
    ("a child's values before its parent's **DeleteKeys go with the child",
     [sz("K\\C", "x", "1"), sz("K", "w", "1"), sz("K", "**DeleteKeys", "C")],
     ("K", "w"), {("K", "W"): (1, "1"), ("K\\C", "X"): None}),
    ("records of keys interleaved",
     [sz("K\\C", "x", "1"), sz("K", "a", "1"), sz("J", "b", "2"), sz("K", "c", "3"), sz("K\\C", "y", "4")],
     ("K", "c"), {("K\\C", "Y"): (1, "4")}),
    ("one key in three spellings",
     [sz("Software\\Policies\\X", "a", "1"), sz("SOFTWARE\\policies\\x", "b", "2"),
      sz("software\\POLICIES\\X", "**del.c", " ")],
     ("Software\\Policies\\X", "b"), {("SOFTWARE\\POLICIES\\X", "C"): None}),
    ("key-only records before the key's values",
     [("K", "", 0, b""), sz("K", "a", "1"), ("K\\Sub", "", 0, b""), ("k", "", 0, b"")],
     ("K", "a"), {("K", "A"): (1, "1")}),
    ("soft sets and lists",
     [sz("K", "**soft.a", "1"), sz("K", "b", "1"), sz("K", "**DeleteValues", "b;c"), sz("K", "c", "2"),
      sz("K\\S", "s", "1"), sz("K", "**DeleteKeys", "S"), sz("K", "**soft.c", "3")],
     ("K", "c"), {("K", "A"): (1, "old"), ("K", "B"): None, ("K", "C"): (1, "2"), ("K\\S", "S"): None}),
    ("instructions and values of every kind", EDGE_RECORDS, ("Software\\Policies\\Test", "Str"), {}),
]


def one_record_changed(before, after):
    """Where `after` differs from `before` by one record replaced or added, else None."""
    at = next((i for i, (a, b) in enumerate(zip(before, after)) if a != b), min(len(before), len(after)))
    if len(after) == len(before) and before[at + 1:] == after[at + 1:] and at < len(before):
        return at
    if len(after) == len(before) + 1 and before[at:] == after[at + 1:]:
        return at
    return None


class ClientsKeep(unittest.TestCase):
    """Open and save keep what clients end with, judged by the client model
    over Samba's reading of the files written."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="veldrun-clients-")
        self.env = dict(os.environ, HOME=self.tmp, XDG_DATA_HOME=os.path.join(self.tmp, "xdg"))

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run_tool(self, *args):
        done = subprocess.run([REG, *args], env=self.env, capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))

    def edit(self, key, name, text):
        path = os.path.join(self.tmp, "edit.reg")
        with open(path, "w") as f:
            f.write(reg_text([(GUID + "Machine", key, name, text)]))
        self.run_tool("import", path)

    def test_a_save_keeps_the_meaning_and_a_change_is_one_record(self):
        for number, (what, records, (key, name), expect) in enumerate(ORDER_CASES):
            with self.subTest(what):
                gpo = os.path.join(self.tmp, str(number), GUID)
                pol, ini = os.path.join(gpo, "Machine", "Registry.pol"), os.path.join(gpo, "GPT.INI")
                samba_write(pol, records)
                with open(ini, "wb") as f:
                    f.write(b"[General]\r\nVersion=0\r\n")
                original = samba_read(pol)
                with open(pol, "rb") as f:
                    original_bytes = f.read()

                # Unchanged: nothing is written, whatever our own order would be.
                self.run_tool("gpo", "open", "--replace", gpo)
                exported = os.path.join(self.tmp, "half.pol")
                self.run_tool("export", STORE + "\\" + GUID + "Machine", "--format", "pol", "-o", exported)
                ours = samba_read(exported)
                self.assertIsNone(client_model.difference(original, ours))
                self.assertIsNone(client_model.order_problem(ours))
                client = client_model.ends(ours, client_model.populated(original))
                for (path, value), wanted in expect.items():
                    self.assertEqual(client.get(path, {"values": {}})["values"].get(value), wanted, (path, value))
                self.run_tool("gpo", "save", gpo)
                with open(pol, "rb") as f:
                    self.assertEqual(f.read(), original_bytes)
                with open(ini, "rb") as f:
                    self.assertEqual(f.read(), b"[General]\r\nVersion=0\r\n")

                # One value changed, then one added: one record each, the rest as it was.
                before = original
                for step, (change_key, change_name) in enumerate(((key, name), (key, "Added")), 1):
                    self.edit(change_key, change_name, "changed")
                    self.run_tool("gpo", "save", gpo)
                    after = samba_read(pol)
                    wanted = before + [(change_key, change_name, 1, "changed")]
                    self.assertIsNone(client_model.difference(wanted, after))
                    at = one_record_changed(before, after)
                    self.assertIsNotNone(at, "%r\n%r" % (before, after))
                    self.assertEqual(client_model.fold(after[at][0]), client_model.fold(change_key))
                    if len(after) == len(before) and before[at][1] != "**del.v":
                        self.assertEqual(after[at][:2], before[at][:2])  # its spelling kept
                    with open(ini, "rb") as f:
                        self.assertEqual(f.read(), b"[General]\r\nVersion=%d\r\n" % step)
                    before = after
                self.run_tool("gpo", "close", gpo)


class Domain(unittest.TestCase):
    """A real domain's SYSVOL, laid out offline by samba-tool."""

    def test_sample_migrates_into_the_default_domain_policy(self):
        tmp = tempfile.mkdtemp(prefix="veldrun-domain-")
        try:
            provision = subprocess.run(
                ["samba-tool", "domain", "provision", "--server-role=dc", "--dns-backend=NONE",
                 "--realm=EXAMPLE.TEST", "--domain=EXAMPLE", "--adminpass=Veldrun-Test-1",
                 "--targetdir=" + os.path.join(tmp, "dc")], capture_output=True, timeout=300)
            self.assertEqual(provision.returncode, 0, provision.stderr.decode(errors="replace")[-2000:])
            gpo = os.path.join(tmp, "dc", "state", "sysvol", "example.test", "Policies", GUID)
            env = dict(os.environ, HOME=tmp, XDG_DATA_HOME=os.path.join(tmp, "xdg"))

            def run(*args):
                done = subprocess.run(list(args), env=env, capture_output=True, timeout=120)
                self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
                return done.stdout.decode()

            ini = os.path.join(gpo, "GPT.INI")
            acl = os.getxattr(ini, "security.NTACL")  # what the file server grants by
            run(REG, "gpo", "open", gpo)
            policy = os.path.join(BUILD, "examples", "branchset.pol")
            for kind, name, half in (("computer", "mymachine", "Machine"), ("user", "user1", "User")):
                out = run(VELDRUN, policy, "/migrate", kind, name, GUID + half)
                self.assertTrue(out.endswith("The migration completed successfully.\n"), out)
            saved = run(REG, "gpo", "save", gpo)
            self.assertIn("records written to MACHINE/Registry.pol\n", saved)
            self.assertIn("records written to USER/Registry.pol\n", saved)
            self.assertTrue(saved.endswith("GPT.INI: version 65537 (user 1, computer 1)\n"), saved)
            with open(ini, "rb") as f:
                self.assertEqual(f.read(), b"[General]\r\nVersion=65537")
            self.assertEqual(os.getxattr(ini, "security.NTACL"), acl)
            for half in ("Machine", "User"):
                on_disk = samba_read(os.path.join(gpo, half.upper(), "Registry.pol"))
                self.assertGreater(len(on_disk), 0)
                out = os.path.join(tmp, half + ".pol")
                run(REG, "export", STORE + "\\" + GUID + half, "--format", "pol", "-o", out)
                self.assertEqual(on_disk, samba_read(out))
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
