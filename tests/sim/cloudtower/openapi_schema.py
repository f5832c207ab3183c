"""Validation of JSON answers against the CloudTower OpenAPI 3.0 document.

OpenAPI 3.0 schemas are JSON Schema with "nullable"; jsonschema knows no
"nullable", so each schema is rewritten to allow null where it says so.
"""
import copy

import jsonschema


def _convert(node):
    if isinstance(node, list):
        return [_convert(n) for n in node]
    if not isinstance(node, dict):
        return node
    out = {k: _convert(v) for k, v in node.items() if k != "nullable"}
    if node.get("nullable"):
        return {"anyOf": [out, {"type": "null"}]}
    return out


class Api:
    def __init__(self, document):
        self.doc = {"components": {"schemas": _convert(document["components"]["schemas"])}}
        self.paths = document["paths"]
        self.resolver = jsonschema.RefResolver("", self.doc)

    def operation(self, path, method="post"):
        return self.paths[path][method]

    def response_schema(self, path, status, method="post"):
        op = self.operation(path, method)
        content = op["responses"][str(status)].get("content", {})
        return _convert(content["application/json"]["schema"])

    def request_schema(self, path):
        content = self.operation(path)["requestBody"]["content"]
        return _convert(content["application/json"]["schema"])

    def schema(self, name):
        return {"$ref": "#/components/schemas/" + name}

    def errors(self, schema, value):
        """Validation messages (empty when the value conforms)."""
        validator = jsonschema.Draft7Validator(copy.deepcopy(schema), resolver=self.resolver)
        out = []
        for e in validator.iter_errors(value):
            where = "/".join(str(p) for p in e.absolute_path)
            out.append("%s: %s" % (where or "<root>", e.message[:300]))
        return out
