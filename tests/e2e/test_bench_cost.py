"""bench/module_cost.py's reading of a callgrind profile: what the calls into a module cost, everything they call
included, and what the module hands to other dissectors, from a profile written as callgrind writes them
(compressed names, a callee's object given only where it differs from the caller's, recursion levels as 'N)."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import module_cost  # noqa: E402

PROFILE = """\
version: 1
creator: callgrind-3.19.0
events: Ir
ob=(1) /usr/lib/x86_64-linux-gnu/libwireshark.so.16
fl=(1) ???
fn=(1) dissector_try_heuristic
5 10
cob=(2) /plugins/4.0/epan/rf24network.so
cfi=(2) packet-rf24network.cpp
cfn=(2) dissect_rf24network_heur
calls=3 0x100
5 700
cob=(3) /plugins/4.0/epan/mysensors.so
cfn=(3) dissect_mysensors_heur
calls=1 0
5 90
ob=(2)
fl=(2)
fn=(2)
10 200
cob=(1)
cfi=(1)
cfn=(4) call_dissector'2
calls=1 0
11 300
cob=(1)
cfn=(5) call_data_dissector
calls=1 0
12 25
cob=(1)
cfn=(6) proto_tree_add_item
calls=2 0
13 50
cfn=(7) hop_fits
calls=1 0
14 30
fn=(7)
20 30
fn=(8) address_to_text
30 40
ob=(1)
fl=(1)
fn=(9) col_fill_in
40 5
cob=(2)
cfn=(8)
calls=2 0
41 40
fn=(4)
50 300
totals: 1000
"""


@pytest.mark.parametrize("module, expected", [
    # into rf24network: the heuristic (700) and the column's address text (40); handed on: IP (300), data (25)
    ("rf24network.so", (740, 325)),
    ("mysensors.so", (90, 0)),
    ("nrf24.so", (0, 0)),
])
def test_module_calls(tmp_path, module, expected):
    path = tmp_path / "profile.callgrind"
    path.write_text(PROFILE)
    assert module_cost.module_calls(str(path), module) == expected
