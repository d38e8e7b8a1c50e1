#!/usr/bin/env python3
"""Reads what the service wrote, for the end-to-end tests, with real parsers.

metrics SOURCE  prints each varn_odbc sample of a Prometheus text, a file or
                an http:// URL on loopback, as parsed by prometheus_client:
                name{label="value",...} value, in order
json LOG        parses every line of a console log as one JSON object and
                prints its event and the hex of its text (or message), bytes
                that are not UTF-8 given back by surrogateescape
"""
import json
import sys
import urllib.request

from prometheus_client.parser import text_string_to_metric_families


def metrics(source):
    if source.startswith("http://127."):
        text = urllib.request.urlopen(source, timeout=10).read().decode()
    else:
        text = open(source, encoding="utf-8").read()
    lines = []
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            if sample.name.startswith("varn_odbc_"):
                labels = ",".join('%s="%s"' % pair for pair in sorted(sample.labels.items()))
                lines.append("%s{%s} %g" % (sample.name, labels, sample.value))
    print("\n".join(sorted(lines)))


def log(path):
    for raw in open(path, "rb"):
        line = json.loads(raw)
        text = line.get("text", line.get("message", ""))
        print(line["event"], text.encode("utf-8", "surrogateescape").hex())


if __name__ == "__main__":
    {"metrics": metrics, "json": log}[sys.argv[1]](sys.argv[2])
