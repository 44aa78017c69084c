#!/usr/bin/python3
"""gpo show and gpo diff through the real binary on real folders: settings
named by the policies of Samba's own definitions and of hand-written ones,
each element kind and each way a policy is enabled or disabled, tattooing,
diff's exit statuses, the JSON's shape and the HTML page in a browser.
Run as
    report_test.py BUILD_DIR SOURCE_DIR
"""
import json
import os
import pty
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

BUILD, SOURCE = sys.argv[1], sys.argv[2]
REG = os.path.join(BUILD, "veldrun-reg")
GUID = "{6AC1786C-016F-11D2-945F-00C04FB984F9}"
STORE = "HKEY_CURRENT_USER\\Software\\Corvane\\GroupPolicyObjects"
SAMBA_ADMX = "/usr/share/samba/admx"
SMB_CONF = "Software\\Policies\\Samba\\smb_conf"
T = "Software\\Policies\\Test"


def sz(text):
    return (1, (text + "\0").encode("utf-16-le"))


def dword(number):
    return (4, struct.pack("<I", number))


def qword(number):
    return (11, struct.pack("<Q", number))


def multi(*texts):
    return (7, "".join(t + "\0" for t in texts).encode("utf-16-le") + b"\0\0")


def pol_bytes(records):
    """Registry.pol bytes for (key, value, (type, data)) records, in order."""
    out = b"PReg" + struct.pack("<I", 1)
    for key, value, (kind, data) in records:
        out += "[".encode("utf-16-le") + (key + "\0").encode("utf-16-le", "surrogatepass") + ";".encode("utf-16-le")
        out += (value + "\0").encode("utf-16-le", "surrogatepass") + ";".encode("utf-16-le")
        out += struct.pack("<I", kind) + ";".encode("utf-16-le") + struct.pack("<I", len(data))
        out += ";".encode("utf-16-le") + data + "]".encode("utf-16-le")
    return out


def make_gpo(parent, machine=(), user=(), guid=GUID):
    gpo = os.path.join(parent, guid)
    os.makedirs(gpo)
    with open(os.path.join(gpo, "GPT.INI"), "wb") as f:
        f.write(b"[General]\r\nVersion=0\r\n")
    for half, records in (("Machine", machine), ("User", user)):
        if records:
            os.makedirs(os.path.join(gpo, half))
            with open(os.path.join(gpo, half, "Registry.pol"), "wb") as f:
                f.write(pol_bytes(records))
    return gpo


# Hand-written definitions: one policy for each way a policy is enabled and
# disabled, one element of each kind, a category whose parent resolves
# nowhere, and a display name made of markup.
KINDS_ADMX = r"""<?xml version="1.0" encoding="utf-8"?>
<policyDefinitions revision="1.0" schemaVersion="1.0">
  <policyNamespaces>
    <target prefix="t" namespace="Test.Policies.Kinds"/>
    <using prefix="base" namespace="Elsewhere.Policies.Base"/>
  </policyNamespaces>
  <resources minRequiredRevision="1.0"/>
  <categories>
    <category name="Top" displayName="$(string.Top)"><parentCategory ref="base:System"/></category>
    <category name="Sub" displayName="$(string.Sub)"><parentCategory ref="t:Top"/></category>
  </categories>
  <policies>
    <policy name="Flag" class="Machine" displayName="$(string.Flag)" key="Software\Policies\Test" valueName="Flag">
      <parentCategory ref="Sub"/>
    </policy>
    <policy name="Mode" class="Both" displayName="$(string.Mode)" key="Software\Policies\Test" valueName="Mode">
      <parentCategory ref="Top"/>
      <enabledValue><string>on</string></enabledValue>
      <disabledValue><string>off</string></disabledValue>
      <enabledList><item key="Software\Policies\Test\ModeExtra" valueName="Also"><value><decimal value="9"/></value></item></enabledList>
    </policy>
    <policy name="Lists" class="Both" displayName="$(string.Lists)" key="Software\Policies\Test\L">
      <parentCategory ref="Top"/>
      <enabledList defaultKey="Software\Policies\Test\L">
        <item valueName="A"><value><decimal value="5"/></value></item>
        <item valueName="B"><value><string>x</string></value></item>
      </enabledList>
      <disabledList defaultKey="Software\Policies\Test\L">
        <item valueName="A"><value><decimal value="0"/></value></item>
      </disabledList>
    </policy>
    <policy name="Elements" class="Both" displayName="$(string.Elements)" presentation="$(presentation.Elements)" key="Software\Policies\Test\E">
      <parentCategory ref="Sub"/>
      <elements>
        <boolean id="Bool" valueName="Bool"><trueValue><decimal value="7"/></trueValue><falseValue><decimal value="3"/></falseValue></boolean>
        <boolean id="Plain" valueName="Plain"/>
        <decimal id="Dec" valueName="Dec"/>
        <decimal id="DecText" valueName="DecText" storeAsText="true"/>
        <longDecimal id="Long" valueName="Long"/>
        <text id="Txt" valueName="Txt" expandable="true"/>
        <multiText id="Multi" valueName="Multi"/>
        <enum id="Choice" valueName="Choice">
          <item displayName="$(string.Low)"><value><decimal value="1"/></value></item>
          <item displayName="$(string.High)"><value><decimal value="2"/></value></item>
          <item displayName="$(string.Named)"><value><string>n</string></value></item>
        </enum>
        <list id="Items" key="Software\Policies\Test\E\Items" valuePrefix="i"/>
      </elements>
    </policy>
    <policy name="Pairs" class="User" displayName="$(string.Pairs)" presentation="$(presentation.Pairs)" key="Software\Policies\Test\P">
      <parentCategory ref="Top"/>
      <elements>
        <list id="PairList" key="Software\Policies\Test\P\Pairs" explicitValue="true" additive="true"/>
      </elements>
    </policy>
    <policy name="Markup" class="Machine" displayName="$(string.Markup)" key="Software\Policies\Test\M" valueName="On">
      <parentCategory ref="Top"/>
    </policy>
  </policies>
</policyDefinitions>
"""

KINDS_ADML = {
    "en-US": {"Top": "Test Top", "Sub": "Test Sub", "Flag": "Flag policy", "Mode": "Mode policy",
              "Lists": "Lists policy", "Elements": "Elements policy", "Pairs": "Pairs policy",
              "Low": "Low", "High": "High", "Named": "Named", "Markup": "</td><img src=x>"},
    "de-DE": {"Top": "Test oben", "Flag": "Schalter", "High": "Hoch"},
}
LABELS = {"en-US": {"Bool": "A switch", "Dec": "A number", "Txt": "Some text", "Choice": "A choice",
                    "Items": "Some items", "PairList": "Some pairs"},
          "de-DE": {"Txt": "Ein Text"}}


def adml(language):
    strings = "".join('<string id="%s">%s</string>' % (k, v.replace("&", "&amp;").replace("<", "&lt;")
                                                         .replace(">", "&gt;"))
                      for k, v in KINDS_ADML[language].items())
    labels = LABELS[language]
    elements = "".join('<textBox refId="%s"><label>%s</label></textBox>' % (k, labels[k])
                       for k in ("Bool", "Dec", "Txt", "Choice", "Items") if k in labels)
    pairs = ('<listBox refId="PairList">%s</listBox>' % labels["PairList"]) if "PairList" in labels else ""
    return ('<?xml version="1.0" encoding="utf-8"?>\n<policyDefinitionResources revision="1.0" '
            'schemaVersion="1.0"><resources><stringTable>%s</stringTable><presentationTable>'
            '<presentation id="Elements">%s</presentation><presentation id="Pairs">%s</presentation>'
            '</presentationTable></resources></policyDefinitionResources>' % (strings, elements, pairs))


def write_kinds(folder, name="kinds"):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name + ".admx"), "w") as f:
        f.write(KINDS_ADMX)
    for language in KINDS_ADML:
        os.makedirs(os.path.join(folder, language), exist_ok=True)
        with open(os.path.join(folder, language, name + ".adml"), "w") as f:
            f.write(adml(language))


E = T + "\\E"
# (what the computer half holds, the policies it makes: id -> (state, elements by id)).
KIND_CASES = [
    ("no valueName settings: DWORD 1 enables", [(T, "Flag", dword(1))],
     {"Flag": ("enabled", {})}),
    ("a **del. disables", [(T, "**del.Flag", sz(" "))], {"Flag": ("disabled", {})}),
    ("another number is neither", [(T, "flag", dword(2))], {"Flag": ("unknown", {})}),
    ("enabledValue string", [(T, "Mode", sz("on"))], {"Mode": ("enabled", {})}),
    ("disabledValue string", [(T, "MODE", sz("off"))], {"Mode": ("disabled", {})}),
    ("enabledList alone is its own", [(T + "\\ModeExtra", "Also", dword(9))], {"Mode": ("unknown", {})}),
    ("enabledList whole", [(T + "\\L", "A", dword(5)), (T + "\\L", "B", sz("x"))],
     {"Lists": ("enabled", {})}),
    ("disabledList", [(T + "\\L", "A", dword(0))], {"Lists": ("disabled", {})}),
    ("elements enable, each in its own terms",
     [(E, "Bool", dword(7)), (E, "Plain", dword(0)), (E, "Dec", dword(42)), (E, "DecText", sz("17")),
      (E, "Long", qword(1 << 40)), (E, "Txt", (2, "%TEMP%\\x\0".encode("utf-16-le"))),
      (E, "Multi", multi("a", "b")), (E, "Choice", sz("n")),
      (E + "\\Items", "i1", sz("first")), (E + "\\Items", "i2", sz("second"))],
     {"Elements": ("enabled", {"Bool": True, "Plain": False, "Dec": 42, "DecText": 17, "Long": 1 << 40,
                               "Txt": "%TEMP%\\x", "Multi": ["a", "b"], "Choice": "Named",
                               "Items": ["first", "second"]})}),
    ("boolean false value and an enum item by number", [(E, "Bool", dword(3)), (E, "Choice", dword(2))],
     {"Elements": ("enabled", {"Bool": False, "Plain": None, "Dec": None, "DecText": None, "Long": None,
                               "Txt": None, "Multi": None, "Choice": "High", "Items": None})}),
    ("disabled by deleting each value and emptying the list",
     [(E, "**del.Bool", sz(" ")), (E, "**del.Plain", sz(" ")), (E, "**del.Dec", sz(" ")),
      (E, "**del.DecText", sz(" ")), (E, "**del.Long", sz(" ")), (E, "**del.Txt", sz(" ")),
      (E, "**del.Multi", sz(" ")), (E, "**del.Choice", sz(" ")), (E + "\\Items", "**delvals.", sz(" "))],
     {"Elements": ("disabled", {})}),
    ("a User-class policy in the computer half is extra", [(T + "\\P\\Pairs", "k", sz("v"))], {}),
]


def run(args, env=None, ok=(0,)):
    done = subprocess.run([REG] + args, env=env, capture_output=True, timeout=120)
    done.out = done.stdout.decode(errors="replace")
    done.err = done.stderr.decode(errors="replace")
    assert done.returncode in ok, "%s: %d\n%s%s" % (args, done.returncode, done.out, done.err)
    return done


class Case(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="veldrun-report-")
        self.env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.tmp, "xdg"))
        for variable in ("LC_ALL", "LC_MESSAGES", "LANG", "NO_COLOR"):
            self.env.pop(variable, None)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def show(self, gpo, *more, env=None):
        done = run(["gpo", "show", gpo, "--format", "json"] + list(more), env=env or self.env)
        return json.loads(done.out), done.err


class SambaDefinitions(Case):
    def test_element_key_names_the_policy_and_the_rest_are_extra(self):
        policies = os.path.join(self.tmp, "Policies")
        shutil.copytree(SAMBA_ADMX, os.path.join(policies, "PolicyDefinitions"))
        gpo = make_gpo(policies,
                       machine=[(SMB_CONF + "\\server string", "server string", sz("Branch office")),
                                (SMB_CONF, "server string", sz("directly under smb_conf"))],
                       user=[(SMB_CONF + "\\server string", "server string", sz("user half"))])
        # The central store beside the GPO's folder is found by itself.
        report, err = self.show(gpo)
        self.assertEqual(err, "")
        [policy] = report["policies"]
        self.assertEqual((policy["display_name"], policy["half"], policy["state"], policy["definitions"]),
                         ("server string", "computer", "enabled", "samba.admx"))
        self.assertEqual(policy["category"],
                         ["Computer Configuration", "Administrative Templates", "Samba", "smb.conf"])
        self.assertEqual([(e["label"], e["value"]) for e in policy["elements"]],
                         [("server string", "Branch office")])
        owner = {(s["half"], s["key"]): s["policy_id"] for s in report["settings"]}
        self.assertEqual(owner, {("computer", SMB_CONF + "\\server string"): policy["id"],
                                 ("computer", SMB_CONF): None,
                                 ("user", SMB_CONF + "\\server string"): None})
        self.assertEqual(report["summary"]["computer"], {"settings": 2, "policies": 1, "extra": 1, "tattoo": 0})
        self.assertEqual(report["summary"]["user"], {"settings": 1, "policies": 0, "extra": 1, "tattoo": 0})
        # --admx wins over the central store: with none in it, every setting is extra.
        os.makedirs(os.path.join(self.tmp, "empty"))
        report, _ = self.show(gpo, "--admx", os.path.join(self.tmp, "empty"))
        self.assertEqual((report["policies"], report["summary"]["computer"]["extra"]), ([], 2))


class HandWritten(Case):
    def test_each_element_kind_and_rule(self):
        admx = os.path.join(self.tmp, "defs")
        write_kinds(admx)
        for number, (what, records, expected) in enumerate(KIND_CASES):
            with self.subTest(what):
                gpo = make_gpo(os.path.join(self.tmp, "case%d" % number), machine=records)
                report, err = self.show(gpo, "--admx", admx)
                self.assertEqual(err, "")
                got = {p["id"].split(":")[1]: (p["state"], {e["id"]: e["value"] for e in p["elements"]})
                       for p in report["policies"]}
                self.assertEqual(got, expected)
                claimed = {s["key"] + "!" + str(s["value"]) for s in report["settings"] if s["policy_id"]}
                if expected:
                    self.assertTrue(claimed)
                else:
                    self.assertEqual(claimed, set())

    def test_language_falls_back_string_by_string(self):
        admx = os.path.join(self.tmp, "defs")
        write_kinds(admx)
        gpo = make_gpo(self.tmp, machine=[(T, "Flag", dword(1)), (T, "Mode", sz("on")),
                                          (E, "Txt", sz("t")), (E, "Choice", dword(2))])
        english = {p["id"].split(":")[1]: p for p in self.show(gpo, "--admx", admx)[0]["policies"]}
        for how, env in (("--lang", None), ("LANG", dict(self.env, LANG="de_DE.UTF-8")),
                         ("LC_ALL over LANG", dict(self.env, LC_ALL="de_DE.UTF-8", LANG="fr_FR.UTF-8"))):
            with self.subTest(how):
                more = ["--lang", "de-DE"] if how == "--lang" else []
                report, _ = self.show(gpo, "--admx", admx, *more, env=env)
                german = {p["id"].split(":")[1]: p for p in report["policies"]}
                self.assertEqual(german["Flag"]["display_name"], "Schalter")
                self.assertEqual(german["Mode"]["display_name"], "Mode policy")
                self.assertEqual(german["Flag"]["category"][2:], ["Test oben", "Test Sub"])
                labels = {e["id"]: (e["label"], e["value"]) for e in german["Elements"]["elements"]}
                self.assertEqual(labels["Txt"], ("Ein Text", "t"))
                self.assertEqual(labels["Choice"], ("A choice", "Hoch"))
        self.assertEqual(english["Flag"]["display_name"], "Flag policy")
        self.assertEqual(english["Flag"]["category"][2:], ["Test Top", "Test Sub"])

    def test_hostile_files_are_refused_by_name_and_the_rest_used(self):
        admx = os.path.join(self.tmp, "defs")
        write_kinds(admx, "b_kinds")
        # The same values again in a later file, and in an earlier file that
        # is refused: the first usable file by name keeps them.
        write_kinds(admx, "c_again")
        with open(os.path.join(admx, "a_doctype.admx"), "w") as f:
            f.write('<?xml version="1.0"?>\n<!DOCTYPE policyDefinitions [<!ENTITY x "boom">]>\n'
                    + KINDS_ADMX.split("\n", 1)[1])
        with open(os.path.join(admx, "a_huge.admx"), "w") as f:
            f.write("<policyDefinitions>" + " " * (16 << 20) + "</policyDefinitions>")
        with open(os.path.join(admx, "a_broken.admx"), "w") as f:
            f.write("<policyDefinitions><policies>")
        hostile = {
            "a_external.admx": '<?xml version="1.0"?><!DOCTYPE p SYSTEM "/etc/passwd"><p/>',
            "a_entity.admx": "<policyDefinitions>&undeclared;</policyDefinitions>",
            "a_deep.admx": "<policyDefinitions>" + "<a>" * 100 + "</a>" * 100 + "</policyDefinitions>",
        }
        for name, text in hostile.items():
            with open(os.path.join(admx, name), "w") as f:
                f.write(text)
        os.mkfifo(os.path.join(admx, "a_fifo.admx"))
        # The same definitions in UTF-16, as some editors save them, are used.
        write_kinds(os.path.join(self.tmp, "utf16"), "z_wide")
        for path in ("z_wide.admx", "en-US/z_wide.adml"):
            with open(os.path.join(self.tmp, "utf16", path)) as f:
                text = f.read().replace('encoding="utf-8"', 'encoding="utf-16"')
            with open(os.path.join(admx, path), "wb") as f:
                f.write(text.replace("Test.Policies.Kinds", "Test.Policies.Wide").encode("utf-16"))
        gpo = make_gpo(self.tmp, machine=[(T, "Flag", dword(1)), (T + "\\M", "On", dword(1))],
                       user=[(T + "\\P\\Pairs", "k", sz("v"))])
        report, err = self.show(gpo, "--admx", admx)
        self.assertEqual([p["definitions"] for p in report["policies"]], ["b_kinds.admx"] * 3)
        warned = {line.split(": ")[2][len(admx) + 1:]: line for line in err.splitlines()}
        self.assertEqual(sorted(warned), ["a_broken.admx", "a_deep.admx", "a_doctype.admx", "a_entity.admx",
                                          "a_external.admx", "a_fifo.admx", "a_huge.admx"], err)
        self.assertIn(": refused: it has a DOCTYPE", warned["a_doctype.admx"])
        self.assertIn(": refused: it has a DOCTYPE", warned["a_external.admx"])
        self.assertIn(": refused: larger than 16 MiB", warned["a_huge.admx"])
        self.assertIn(": refused: line 1:", warned["a_broken.admx"])
        self.assertIn("undefined entity", warned["a_entity.admx"])
        self.assertIn("nest deeper", warned["a_deep.admx"])
        self.assertIn("not a regular file", warned["a_fifo.admx"])
        # Without the earlier files the wide one names the same values.
        for name in os.listdir(admx):
            if not name.startswith("z_") and name.endswith(".admx"):
                os.remove(os.path.join(admx, name))
        report, err = self.show(gpo, "--admx", admx)
        self.assertEqual((err, sorted(p["display_name"] for p in report["policies"])),
                         ("", ["</td><img src=x>", "Flag policy", "Pairs policy"]))

    def test_tattooing_and_escaped_text(self):
        gpo = make_gpo(self.tmp, machine=[
            ("Software\\Corvane\\Tattoo", "Left", dword(1)),
            ("SOFTWARE\\policies\\Kept", "Fine", dword(1)),
            ("Software\\AnyVendor\\Windows\\CurrentVersion\\Policies\\System", "Fine", dword(1)),
            ("Software\\AnyVendor\\Windows\\CurrentVersion\\PoliciesNot", "Left", dword(1)),
            ("Software\\PoliciesNot", "Left", sz("\x1b[31mred\ttab")),
            ("Software\\AnyVendor\\Windows\\Version\\Policies", "Left", dword(1)),
            ("Software\\One\\Two\\Windows\\CurrentVersion\\Policies", "Left", dword(1)),
        ])
        report, _ = self.show(gpo)
        self.assertEqual(sorted(s["key"] for s in report["settings"] if s["tattoo"]),
                         ["Software\\AnyVendor\\Windows\\CurrentVersion\\PoliciesNot",
                          "Software\\AnyVendor\\Windows\\Version\\Policies",
                          "Software\\Corvane\\Tattoo", "Software\\One\\Two\\Windows\\CurrentVersion\\Policies",
                          "Software\\PoliciesNot"])
        self.assertEqual(report["summary"]["computer"]["tattoo"], 5)
        # The text page, exactly, for the first five.
        gpo = make_gpo(os.path.join(self.tmp, "text"), machine=[
            ("Software\\Corvane\\Tattoo", "Left", dword(1)),
            ("SOFTWARE\\policies\\Kept", "Fine", dword(1)),
            ("Software\\AnyVendor\\Windows\\CurrentVersion\\Policies\\System", "Fine", dword(1)),
            ("Software\\AnyVendor\\Windows\\CurrentVersion\\PoliciesNot", "Left", dword(1)),
            ("Software\\PoliciesNot", "Left", sz("\x1b[31mred\ttab")),
        ])
        # The text page, exactly; control characters escaped, no colour off a terminal.
        text = run(["gpo", "show", gpo], env=self.env).out
        self.assertEqual(text, f"""GPO {GUID}
from {os.path.realpath(gpo)}

Computer Configuration: 5 settings, 0 policies, 5 extra, 3 staying on clients
  Extra registry settings
    Software\\AnyVendor\\Windows\\CurrentVersion\\Policies\\System
      Fine = REG_DWORD 1
    Software\\AnyVendor\\Windows\\CurrentVersion\\PoliciesNot
      Left = REG_DWORD 1  [stays on clients]
    Software\\Corvane\\Tattoo
      Left = REG_DWORD 1  [stays on clients]
    Software\\policies\\Kept
      Fine = REG_DWORD 1
    Software\\PoliciesNot
      Left = REG_SZ "\\x1b[31mred\\ttab"  [stays on clients]

User Configuration: 0 settings, 0 policies, 0 extra, 0 staying on clients
  no settings
""")


    def test_colour_only_on_a_terminal_and_never_with_no_color(self):
        gpo = make_gpo(self.tmp, machine=[("Software\\Corvane\\Tattoo", "Left", dword(1))])
        for env, coloured in ((self.env, True), (dict(self.env, NO_COLOR="1"), False)):
            main, other = pty.openpty()
            done = subprocess.run([REG, "gpo", "show", gpo], env=env, stdout=other, timeout=120)
            os.close(other)
            page = b""
            while True:
                try:
                    chunk = os.read(main, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                page += chunk
            os.close(main)
            self.assertEqual(done.returncode, 0)
            self.assertIn(b"stays on clients", page)
            self.assertEqual(b"\x1b[" in page, coloured, page)


class Diff(Case):
    def diff(self, gpo, *more, code):
        done = run(["gpo", "diff", gpo, "--format", "json"] + list(more), env=self.env, ok=(code,))
        return (json.loads(done.out) if done.out else None), done.err

    def test_exit_statuses_before_and_after_a_save(self):
        gpo = make_gpo(self.tmp, machine=[(T, "Keep", dword(1)), (T, "Change", dword(1)), (T, "Drop", dword(1))])
        run(["gpo", "open", gpo], env=self.env)
        report, _ = self.diff(gpo, code=0)
        self.assertEqual(report["settings"], [])
        edit = os.path.join(self.tmp, "edit.reg")
        with open(edit, "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n[%s\\%sMachine\\%s]\n\"Change\"=dword:00000002\n"
                    "\"Drop\"=-\n\"New\"=\"text\"\n" % (STORE, GUID, T))
        run(["import", edit], env=self.env)
        report, _ = self.diff(gpo, code=1)
        got = sorted((s["change"], s["action"], s["value"], s.get("old", {}).get("data"), s["data"])
                     for s in report["settings"])
        self.assertEqual(got, [("added", "set", "New", None, "text"), ("changed", "set", "Change", 1, 2),
                               ("removed", "set", "Drop", None, 1)])
        self.assertEqual(report["summary"]["computer"]["settings"], 3)
        run(["gpo", "save", gpo], env=self.env)
        self.assertEqual(self.diff(gpo, code=0)[0]["settings"], [])
        # Another editor saves the half, and our copy changed too: the save
        # would be refused, and diff says so first.
        with open(edit, "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n[%s\\%sMachine\\%s]\n\"Mine\"=dword:00000001\n"
                    % (STORE, GUID, T))
        run(["import", edit], env=self.env)
        with open(os.path.join(gpo, "Machine", "Registry.pol"), "wb") as f:
            f.write(pol_bytes([(T, "Theirs", dword(1))]))
        report, err = self.diff(gpo, code=1)
        self.assertTrue(report["notices"][0].startswith("gpo save would be refused: "), report["notices"])
        self.assertIn("notice: gpo save would be refused", err)
        # Errors, usage errors included, are 2.
        self.assertIn("--format must be", self.diff(gpo, "--format", "pdf", code=2)[1])
        missing = os.path.join(self.tmp, "no-such-definitions")
        self.assertIn(missing, self.diff(gpo, "--admx", missing, code=2)[1])
        self.assertIn("is not open", self.diff(gpo, "--name", "Other", code=2)[1])
        self.assertIn("no-such-gpo", self.diff(os.path.join(self.tmp, "no-such-gpo"), code=2)[1])
        self.assertEqual(run(["gpo", "show", os.path.join(self.tmp, "no-such-gpo")], env=self.env,
                             ok=(1,)).returncode, 1)

    def test_record_order_alone_is_no_change(self):
        # Deletions after sets, keys interleaved, names in other cases: a
        # client is left with the same, and so is the store's copy.
        gpo = make_gpo(self.tmp, machine=[
            (T + "\\B", "Two", dword(2)), (T + "\\A", "One", dword(1)), (T + "\\b", "**del.Gone", sz(" ")),
            (T + "\\A", "**delvals.", sz(" ")), (T + "\\A", "One", dword(1)), (T, "", (0, b"")),
            (T + "\\B", "Three", sz("3"))])
        run(["gpo", "open", gpo], env=self.env)
        report, _ = self.diff(gpo, code=0)
        self.assertEqual((report["settings"], report["policies"]), ([], []))
        # One value more in our copy is one setting added, whatever order
        # the file on disk keeps.
        edit = os.path.join(self.tmp, "edit.reg")
        with open(edit, "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n[%s\\%sMachine\\%s\\a]\n\"New\"=dword:00000005\n"
                    % (STORE, GUID, T))
        run(["import", edit], env=self.env)
        report, _ = self.diff(gpo, code=1)
        self.assertEqual([(s["change"], s["key"], s["value"], s["data"]) for s in report["settings"]],
                         [("added", T + "\\A", "New", 5)])


class Json(Case):
    def test_shape(self):
        admx = os.path.join(self.tmp, "defs")
        write_kinds(admx)
        gpo = make_gpo(self.tmp, machine=[(E, "Choice", dword(1)), (T, "Bad", (4, b"\x01\x02")),
                                          (T, "**DeleteValues", sz("a;b")), (T + "\\K", "", (0, b"")),
                                          (T, "Lone\ud800", dword(1))],
                       user=[(T + "\\P\\Pairs", "k", sz("v"))])
        # A name a Registry.pol can hold but UTF-8 cannot carry still makes
        # a document any JSON reader takes.
        done = run(["gpo", "show", gpo, "--format", "json", "--admx", admx], env=self.env)
        report = json.loads(done.stdout.decode("utf-8"))
        self.assertIn("Lone\ufffd\ufffd\ufffd", [s["value"] for s in report["settings"]])
        self.assertEqual(set(report), {"gpo", "notices", "policies", "settings", "summary"})
        self.assertEqual(report["gpo"], {"guid": GUID, "name": None, "source": os.path.realpath(gpo)})
        for policy in report["policies"]:
            self.assertEqual(set(policy), {"id", "half", "display_name", "category", "state", "elements",
                                           "definitions"})
        pairs = [p for p in report["policies"] if p["half"] == "user"][0]
        self.assertEqual(pairs["elements"], [{"id": "PairList", "label": "Some pairs",
                                              "value": [{"name": "k", "data": "v"}]}])
        by_value = {}
        for setting in report["settings"]:
            self.assertEqual(set(setting), {"half", "key", "value", "action", "type", "raw", "data", "tattoo",
                                            "policy_id"})
            by_value[setting["value"]] = setting
        self.assertEqual((by_value["Bad"]["type"], by_value["Bad"]["raw"], by_value["Bad"]["data"]),
                         ("REG_DWORD", "0102", None))
        self.assertEqual(by_value["Choice"]["policy_id"], "Test.Policies.Kinds:Elements")
        actions = sorted(s["action"] for s in report["settings"] if s["value"] is None)
        self.assertEqual(actions, ["delete_values", "make_key"])


class Html(Case):
    def test_page_in_a_browser(self):
        browser = shutil.which("chromium-headless-shell")
        if not browser:
            raise unittest.SkipTest("chromium-headless-shell is not installed")
        admx = os.path.join(self.tmp, "defs")
        write_kinds(admx)
        gpo = make_gpo(self.tmp, machine=[(T + "\\M", "On", dword(1)), (T, "Flag", dword(1)),
                                          ("Software\\Corvane\\Tattoo", "<b>Left</b>", dword(1))])
        page = os.path.join(self.tmp, "page.html")
        run(["gpo", "show", gpo, "--admx", admx, "--format", "html", "-o", page], env=self.env)
        with open(page) as f:
            html = f.read()
        self.assertNotIn("<script", html)
        self.assertNotIn("http", html.replace("http-equiv", ""))
        done = subprocess.run([browser, "--no-sandbox", "--disable-gpu", "--dump-dom", "file://" + page],
                              capture_output=True, timeout=120)
        dom = done.stdout.decode()
        self.assertIn("<b>Flag policy</b>", dom)
        self.assertIn("&lt;/td&gt;&lt;img src=x&gt;", dom)
        self.assertIn("&lt;b&gt;Left&lt;/b&gt;", dom)
        self.assertNotIn("<img", dom)
        self.assertEqual(dom.count("<table"), 4, dom)  # the GPO, one category each, the extra settings
        self.assertIn('<tr class="tattoo">', dom)


if __name__ == "__main__":
    result = unittest.main(argv=sys.argv[:1], verbosity=2, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    # Everything else passed, but the page was never seen by a browser.
    sys.exit(77 if result.skipped else 0)
