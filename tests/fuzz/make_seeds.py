"""Makes what the fuzzers start from, in a work directory (never in the source tree): a fresh
private key (mode 0600) and a password file for fuzz_auth, with valid tokens for it as seeds, and
password files (plain, $7$ entries written by mosquitto_passwd) as seeds for fuzz_password_file.

    make_seeds.py <work directory>
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

from jwcrypto import jwe, jwk
from jwcrypto.common import json_encode


def token(key: jwk.JWK, plaintext: bytes) -> str:
    made = jwe.JWE(
        plaintext, json_encode({"alg": "RSA-OAEP", "enc": "A256GCM"}), algs=["RSA-OAEP", "A256GCM"]
    )
    made.add_recipient(key)
    return made.serialize(compact=True)


def main(work: Path) -> None:
    for name in ("seeds/auth", "seeds/password_file", "corpus/auth", "corpus/password_file"):
        (work / name).mkdir(parents=True, exist_ok=True)
    key = jwk.JWK.generate(kty="RSA", size=2048)
    key_path = work / "private.jwk"
    descriptor = os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(descriptor, "w") as file:
        file.write(key.export_private())
    os.chmod(key_path, 0o600)

    hashed = work / "hashed-passwords"
    hashed.unlink(missing_ok=True)
    subprocess.run(["mosquitto_passwd", "-c", "-b", hashed, "alice", "s3cret"], check=True)
    subprocess.run(["mosquitto_passwd", "-b", hashed, "bob", ""], check=True)
    (work / "passwords").write_bytes(hashed.read_bytes())

    public = jwk.JWK.from_json(key.export_public())
    seeds = {
        "alice": b"alice\n" + token(public, b"s3cret").encode(),
        "bob": b"bob\n" + token(public, b"").encode(),
        "wrong": b"alice\n" + token(public, b"guess").encode(),
    }
    for name, data in seeds.items():
        (work / "seeds/auth" / name).write_bytes(data)
    files = {
        "hashed": hashed.read_bytes(),
        "plain": b"\xef\xbb\xbfalice:s3cret\r\n# comment\n\nbob:\n",
        "mixed": hashed.read_bytes() + b"carol:plain\n",
    }
    for name, data in files.items():
        (work / "seeds/password_file" / name).write_bytes(data)


if __name__ == "__main__":
    main(Path(sys.argv[1]))
