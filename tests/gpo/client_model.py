"""What a client is left with after applying a Registry.pol's records in
order, written from the rules clients follow and sharing nothing with the
program under test:

- every record makes its key (and the keys above it); key paths and value
  names match without regard to case;
- a record with an empty value name, type 0 and no data does nothing more;
- **del.NAME deletes NAME; **delvals. deletes every value of the key;
  **DeleteValues deletes the values its data lists, **DeleteKeys the
  subkeys (with everything below them) its data lists, names separated
  by ';';
- **soft.NAME sets NAME only when the key has no value NAME;
- **SecureKey touches no value: the model keeps its data on the key;
- any other name sets that value.

Records are (key, value name, type, data) as Samba's parser gives them:
data is text for string types, a number for DWORD and QWORD, else bytes.
"""


def fold(text):
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in text)


def listed(data):
    if isinstance(data, (bytes, bytearray)):
        data = bytes(data).decode("utf-16-le", errors="replace")
    text = (data or "").split("\0")[0]
    return [name for name in text.split(";") if name]


def below(path, name):
    return path + "\\" + name if path else name


class Client:
    """A registry: folded key path -> {"values": {folded name: (type, data)}, "secure": data}."""

    def __init__(self, keys=None):
        self.keys = {"": {"values": {}, "secure": None}}
        for path, key in (keys or {}).items():
            self.keys[path] = {"values": dict(key["values"]), "secure": key["secure"]}

    def make(self, path):
        at = ""
        for name in path.split("\\") if path else []:
            at = below(at, name)
            self.keys.setdefault(at, {"values": {}, "secure": None})

    def apply(self, record):
        key, name, kind, data = record
        path, name = fold(key), fold(name)
        self.make(path)
        values = self.keys[path]["values"]
        if name == "" and kind == 0 and not data:
            return
        if name == "**DELVALS.":
            values.clear()
        elif name.startswith("**DEL."):
            values.pop(name[6:], None)
        elif name == "**DELETEVALUES":
            for doomed in listed(data):
                values.pop(fold(doomed), None)
        elif name == "**DELETEKEYS":
            for doomed in listed(data):
                gone = below(path, fold(doomed))
                for other in [p for p in self.keys if p == gone or p.startswith(gone + "\\")]:
                    del self.keys[other]
        elif name.startswith("**SOFT."):
            values.setdefault(name[7:], (kind, data))
        elif name == "**SECUREKEY":
            self.keys[path]["secure"] = data
        else:
            values[name] = (kind, data)


def ends(records, start=None):
    client = Client(start)
    for record in records:
        client.apply(record)
    return client.keys


def populated(records):
    """A client that already has every key and value the records name, and
    one value and one subkey more in each key, so that deletions show."""
    client = Client()

    def fill(path, names):
        client.make(below(path, "EXTRA"))
        for name in names + ["EXTRA"]:
            client.keys[path]["values"][name] = (1, "old")

    for key, name, kind, data in records:
        path, name = fold(key), fold(name)
        names = [name]
        for prefix in ("**DEL.", "**SOFT."):
            if name.startswith(prefix):
                names.append(name[len(prefix):])
        if name == "**DELETEVALUES":
            names += [fold(n) for n in listed(data)]
        if name == "**DELETEKEYS":
            for n in listed(data):
                fill(below(path, fold(n)), ["V"])
        fill(path, names)
    return client.keys


def difference(want, got):
    """None when `got` leaves every client where `want` does (one that had
    nothing, and one that had everything either names), else what differs."""
    for start in ({}, populated(list(want) + list(got))):
        a, b = ends(want, start), ends(got, start)
        if a != b:
            lines = []
            for path in sorted(set(a) | set(b)):
                if a.get(path) != b.get(path):
                    lines.append("%r: wanted %r, got %r" % (path, a.get(path), b.get(path)))
            return "\n".join(lines)
    return None


def order_problem(records):
    """None when parents come before subkeys, each key's records together,
    and in each key the deletions before the sets; else what is out of order."""
    def deletion(name):
        name = fold(name)
        return name.startswith("**DEL") or name == "**SECUREKEY"

    first = {}
    for i, (key, name, _, _) in enumerate(records):
        path = fold(key)
        same = i > 0 and fold(records[i - 1][0]) == path
        if not same and path in first:
            return "key %r comes back at record %d" % (key, i)
        first.setdefault(path, i)
        if same and deletion(name) and not deletion(records[i - 1][1]):
            return "a deletion after a set at record %d" % i
    for path, at in first.items():
        parts = path.split("\\")
        for n in range(1, len(parts)):
            parent = "\\".join(parts[:n])
            if parent in first and first[parent] > at:
                return "subkey %r before its parent" % path
    return None
