#!/usr/bin/python3
"""Checks request bodies the module sent against CloudTower's documents.

Reads a request log (a JSON array of {"path", "body"} as the simulator logs
them, the body as sent) and validates every body sent to /v2/api/<name>
against the request schema of <name> in each OpenAPI document given. A
difference that is known (KNOWN_DIFFERENCES: document version, path, a text
of the validation message) is counted, not failed.

Exit status: 0 all bodies conform or differ only as known, 1 otherwise, 77
a document or jsonschema is missing (the check is then skipped).
"""
import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
try:
    from openapi_schema import Api
except ImportError as e:  # jsonschema is not installed
    print("skipped: %s" % e)
    sys.exit(77)

# (document version, path, a text of the validation message, why the module
# sends it so): bodies that differ from a document on purpose. None at
# present: every body of the servant tests conforms to 3.0.0 and 4.1.0.
KNOWN_DIFFERENCES = []

# Paths the module sends that a document publishes under another name.
RENAMED = {"get-data-stores": "get-elf-data-stores"}


def version_of(document):
    return document.get("info", {}).get("version", "?")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--document", action="append", required=True)
    args = parser.parse_args()
    docs = []
    for path in args.document:
        if not os.path.exists(path):
            print("skipped: %s is missing" % path)
            return 77
        with open(path) as f:
            document = json.load(f)
        docs.append((version_of(document), Api(document)))
    with open(args.log) as f:
        log = json.load(f)

    failures, known, checked = [], {}, 0
    seen = set()
    for entry in log:
        name = entry["path"].rsplit("/", 1)[-1]
        body = entry.get("body") or ""
        if not body or name == "login":
            continue
        key = (name, body)
        if key in seen:
            continue
        seen.add(key)
        value = json.loads(body)
        for version, api in docs:
            path = "/" + RENAMED.get(name, name)
            if path not in api.paths and "/" + name in api.paths:
                path = "/" + name
            if path not in api.paths:
                failures.append("%s: %s is not in the document" % (version, name))
                continue
            op = api.operation(path)
            if "requestBody" not in op:
                continue
            checked += 1
            for e in api.errors(api.request_schema(path), value):
                why = [d for d in KNOWN_DIFFERENCES if d[0] == version and d[1] == name and d[2] in e]
                if why:
                    known[why[0]] = known.get(why[0], 0) + 1
                else:
                    failures.append("%s %s: %s" % (version, name, e))
    for d, n in sorted(known.items()):
        print("known difference (%s %s, %s): %d bodies" % (d[0], d[1], d[3], n))
    for f in sorted(set(failures)):
        print("FAIL: " + f)
    print("%d bodies checked against %d documents, %d failures" % (checked, len(docs), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
