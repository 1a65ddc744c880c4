#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/seeds/<target>/: small valid inputs of
each target's format, so the fuzzer starts from what the program accepts.
Deterministic; run again after changing it and commit the result."""
import os, random, json

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")
rng = random.Random(20261210)

def put(target, name, data):
    d = os.path.join(root, target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)

def rand(n):
    return bytes(rng.randrange(256) for _ in range(n))

def mlkem_ek():
    # 768 coefficients below q, packed 12 bits each, then a 32-byte seed rho.
    out = bytearray()
    for _ in range(384):
        a, b = rng.randrange(3329), rng.randrange(3329)
        out += bytes([a & 0xFF, (a >> 8) | ((b & 0x0F) << 4), b >> 4])
    return bytes(out) + rand(32)

def channel_key_hex():
    return (b"\x04" + rand(64) + mlkem_ek()).hex()

key_a, key_b = channel_key_hex(), channel_key_hex()

# gate_reply: framed reply documents.
for i, doc in enumerate([
        '{"ok":true,"result":{"entry_id":"e1","title":"GitHub"}}',
        '{"ok":true}',
        '{"ok":false,"error":{"code":"NOT_FOUND","message":"no such entry"}}',
        '{"ok":false,"result":null,"error":null}',
        '{"ok":true,"result":[1,-2,3.5,"x\\u00e9\\ud83d\\ude00",null,true,{"a":[]}]}']):
    put("gate_reply", f"reply{i}", b"\x10" + doc.encode())

# wire_models: entry.get, search.query (three shapes) and ext.totp results.
entry = {"entry_id": "0123", "type": "credential", "title": "GitHub",
         "data": {"title": "GitHub", "type": "credential",
                  "fields": [{"label": "username", "value": "octo", "kind": "text", "tier": 1},
                             {"label": "password", "value": "AAAA", "tier": 2}],
                  "urls": ["https://github.com"], "notes": "n"}}
for i, doc in enumerate([
        entry,
        ["0123", "credential", "GitHub", ["GitHub", "credential", [["user", "octo", "text", 1]], [], None]],
        {"entry_id": "9", "vault_data": {"fields": []}},
        [entry, {"entry_id": "2"}],
        {"entries": [entry], "quota": {"minute_used": 1, "minute_limit": 60, "hour_used": 2, "hour_limit": 600}},
        {"count": 2, "titles": ["a", "b"], "matches": [{"title": "a", "type": "note"}], "message": "m",
         "quota": {"minute_used": 0, "minute_limit": 0}},
        {"code": "123456", "expires_in": 17},
        {"code": "654321"}]):
    put("wire_models", f"doc{i}", json.dumps(doc))

# schema: the embedded document and small variants.
with open(os.path.join(os.path.dirname(root), "..", "assets", "entry-types.json"), "rb") as f:
    put("schema", "entry-types", f.read())
put("schema", "small", json.dumps({"types": {"note": {"description": "d", "fields": {
    "title": {"label": "Title", "kind": "text", "tier": 1, "required": True},
    "body": ["Body", "text", 2]}}}}))
put("schema", "array", json.dumps([{"x": ["desc", {"f": ["F", "secret", 3, False]}]}]))

# config_bytes: Config JSON (map and positional forms) and file-shaped bytes.
cfg = {"vault_url": "https://vault.example", "vault_gate_pub": key_a, "replica_url": "https://r.example",
       "replica_gate_pub": key_b, "vault_id": "1a2b3c4d5e6f7081", "agent_id": "00112233445566778899aabbccddeeff",
       "l2": "ffeeddccbbaa99887766554433221100", "device_id": "0f0e0d0c0b0a09080706050403020100"}
put("config_bytes", "full", json.dumps(cfg, separators=(",", ":")))
put("config_bytes", "no_replica", json.dumps({k: v for k, v in cfg.items() if not k.startswith("replica")}))
put("config_bytes", "positional", json.dumps(list(cfg.values())))
put("config_bytes", "file_shape", b"PLC1" + rand(16) + rand(12) + rand(40) + rand(16))

# enrolment_blob: blob plaintexts, and one pasted blob/key pair (not authentic).
blob = {"agent_id": "00112233445566778899AABBCCDDEEFF", "l2": "ffeeddccbbaa99887766554433221100",
        "vault_id": "1a2b3c4d5e6f7081", "pop": "pop1.example/", "pop_pub": key_a,
        "replica_host": "pop2.example", "replica_pub": key_b}
put("enrolment_blob", "full", json.dumps(blob))
put("enrolment_blob", "no_replica", json.dumps({k: v for k, v in blob.items() if not k.startswith("replica")}))
put("enrolment_blob", "positional", json.dumps(list(blob.values())))
put("enrolment_blob", "pasted", "  " + "QUJD" * 30 + "==\n" + "YWJjZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXoxMjM0NTY\n")

# handshake_message2: odd first byte = reply plaintext sealed honestly;
# even = raw message 2 bytes.
put("handshake_message2", "honest_ok", b"\x01\x10" + b'{"ok":true,"result":{"pong":1}}')
put("handshake_message2", "honest_empty", b"\x03")
put("handshake_message2", "raw_short", b"\x00" + rand(40))
put("handshake_message2", "raw_point", b"\x02\x04" + rand(64) + rand(16 + 20))

# mlkem: ciphertexts of the right length, and keys whose coefficients are in range.
put("mlkem_decapsulate", "random_ct", rand(1088))
put("mlkem_decapsulate", "zero_ct", bytes(1088))
put("mlkem_decapsulate", "short_ct", rand(100))
put("mlkem_encapsulate", "valid_key", mlkem_ek() + rand(32) + rand(64))
put("mlkem_encapsulate", "zero_key", bytes(1184 + 32 + 64))

# arg_parser: first byte = when to take option values; arguments NUL-separated.
for i, (plan, args) in enumerate([
        (0x00, ["get", "GitHub", "--field", "password", "--json"]),
        (0x02, ["find", "--limit=5", "-abc", "x"]),
        (0x01, ["put", "credential", "t", "--password-file", "-", "--", "--not-an-option"]),
        (0x04, ["-x=1", "--name=v\u00e9", "\u202e\u0007", "-\u00e9z"])]):
    put("arg_parser", f"args{i}", bytes([plan]) + b"\0".join(a.encode() for a in args))
put("arg_parser", "bad_utf8", b"\x00--\xff\xfe\0-\xc3\0\x80")

# channel_key: a key text (with white space), a retired 64-digit key, key bytes.
put("channel_key", "key", key_a)
put("channel_key", "key_spaced", " \t" + key_b + "\n")
put("channel_key", "retired", rand(32).hex())
put("channel_key", "bytes", rand(1249))

# hex16_id: valid ids and near misses.
for i, s in enumerate(["1a2b3c4d5e6f7081", "7fffffffffffffff", "0x2b3c4d5e6f7081", "0100000000000000",
                       "1A2B3C4D5E6F7081", "00ffffffffffffff"]):
    put("hex16_id", f"id{i}", s)

# base64url_text: pasted texts.
put("base64url_text", "plain", "SGVsbG8sIHdvcmxkIQ")
put("base64url_text", "padded", "  SGVsbG8_-w==\n")
put("base64url_text", "key", "YWJjZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXoxMjM0NTY")

# base64: canonical texts.
put("base64", "pad0", "SGVsbG8h")
put("base64", "pad1", "SGVsbG8=")
put("base64", "pad2", "SGVsbA==")
put("base64", "field", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8g+/8=")

# repin_key_file: key files.
put("repin_key_file", "two_hosts", f"# fleet keys\nPOP1.example {key_a}\r\npop2.example\t{key_b}  # replica\n\n")
put("repin_key_file", "bad_line", "pop1.example\n")

# render_template: templates with references ended by each terminator byte.
for i, doc in enumerate([
        'db_password = "pellucor://DB/password"\n',
        '{"user": "pellucor://GitHub/username", "token":\'pellucor://GitHub API/key\'}\n',
        'a pellucor://a/b/c\tb pellucor://x/y\r\nend pellucor://t/notes',
        'no references at all\n',
        'line 1\nline 2\nbad pellucor://nofield here\n']):
    put("render_template", "seed-%d" % i, doc)

# audit_date: dates as typed, and one JSON audit result.
for i, doc in enumerate(["2024-02-29", "1970-1-1", "9999-12-31", "2023-02-29", "0001-01-01",
                         '{"events":[{"created_at":1733875200000,"action":"entry.get",'
                         '"title":"GitHub","actor":"agent 3f2a"}]}']):
    put("audit_date", "seed-%d" % i, doc)

# certificate_subject: public root certificates as DER, from the distribution's
# bundle the built-in roots come from (skipped when it is not installed).
import base64
mozilla = "/usr/share/ca-certificates/mozilla"
for name in ["ISRG_Root_X1.crt", "DigiCert_Global_Root_G2.crt", "GlobalSign_Root_CA.crt"]:
    path = os.path.join(mozilla, name)
    if not os.path.exists(path):
        continue
    text = open(path).read()
    body = text.split("-----BEGIN CERTIFICATE-----")[1].split("-----END CERTIFICATE-----")[0]
    put("certificate_subject", name.replace(".crt", ".der"), base64.b64decode("".join(body.split())))
