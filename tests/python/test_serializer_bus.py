"""SerializerBus: a cycle record dict in, the nine telemetry topics out."""

import enum
import inspect
import json

import pytest

import kiv_rs
from cycle_records import GuardResult, pick_place_record, record_dict

LAYER_TOPICS = [f"/kiv/L{n}" for n in range(5)]
TOPICS = {"/kiv/cycle", "/kiv/obs", "/kiv/action", "/kiv/latency", *LAYER_TOPICS}


def serialize(record):
    return kiv_rs.SerializerBus().serialize_cycle(record)


def as_text(messages):
    """Topic -> message text(s), for comparing with literals."""
    return {topic: [m.decode() for m in value] if isinstance(value, list) else value.decode()
            for topic, value in messages.items()}


def minimal_record():
    """Only what serialize_cycle requires, with no guard results."""
    return {
        "cycle_id": 5, "obs_timestamp": 12.5, "has_violation": False, "has_clamp": False,
        "violated_layer_mask": 0, "clamped_layer_mask": 0, "active_boundaries": [],
        "obs_joint_positions": [0.5], "action_positions": [0.25], "was_clamped": False,
        "guard_results": [], "latency_stages": {}, "latency_layers": {},
    }


def guard(layer, name="g", **changes):
    element = {"guard_name": name, "layer": layer, "decision": 0, "decision_name": "PASS", "reason": "ok",
               "is_violation": False, "is_clamp": False}
    element.update(changes)
    return element


def with_guards(*elements, latency_guards=None):
    record = minimal_record()
    record["guard_results"] = list(elements)
    record["latency_guards"] = latency_guards if latency_guards is not None else {}
    return record


# ---- The Python face ---------------------------------------------------------------


def test_class_face():
    assert repr(kiv_rs.SerializerBus()) == "SerializerBus()"
    assert str(inspect.signature(kiv_rs.SerializerBus)) == "()"
    assert str(inspect.signature(kiv_rs.SerializerBus.serialize_cycle)) == "(self, /, record_dict)"
    assert kiv_rs.SerializerBus.__doc__.startswith(
        "High-performance JSON serializer for KIV cycle records.\n\n"
        "Serializes a CycleRecord dict to pre-serialized JSON messages (as bytes).\n"
        "No state; each call is independent.\n\nConstructor: ``SerializerBus()``\n\n")
    assert kiv_rs.SerializerBus.__doc__.endswith('#     "/kiv/L0": [b\'...\', ...],\n#     ...\n# }\n```')
    assert kiv_rs.SerializerBus.serialize_cycle.__doc__ == (
        "Serialize a CycleRecord dict to pre-serialized JSON messages.\n\n"
        "Args:\n  record_dict: Dict representation of CycleRecord (from dataclasses.asdict())\n\n"
        "Returns:\n  Dict mapping topic name -> bytes (or list of bytes for /kiv/L0-L4)")
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'record_dict'"):
        kiv_rs.SerializerBus().serialize_cycle()


def test_writes_every_topic_byte_for_byte():
    stamp = '"timestamp":1717171717.25'
    assert as_text(serialize(record_dict())) == {
        "/kiv/cycle": '{"active_boundaries":["workspace","table"],"active_context":"human_nearby",'
                      '"active_task":"pick_place","clamped_layer_mask":2,"config_version":7,'
                      '"context_event":{"distance_m":0.8,"source":"lidar"},"context_severity":2,"cycle_id":1042,'
                      '"guards_ms":0.125,"has_clamp":true,"has_violation":true,"policy_ms":2.25,"sink_ms":0.0625,'
                      f'"source_ms":0.5,{stamp},"total_ms":3.0,"violated_layer_mask":4}}',
        "/kiv/obs": '{"cycle_id":1042,"gripper":[0.02],"joint_positions":[0.1,-0.25,1.5],'
                    f'"joint_velocities":[0.0,0.5,-1.0],{stamp}}}',
        "/kiv/action": '{"cycle_id":1042,"fallback_triggered":null,"target_positions":[0.125,-0.25,1.5],'
                       f'"target_velocities":[0.5,0.0,-0.5],{stamp},"validated_positions":[0.125,-0.2,1.5],'
                       '"was_clamped":true}',
        "/kiv/L0": ['{"cycle_id":1042,"decision":0,"decision_name":"PASS","event_class":null,"fault_source":null,'
                    '"guard_name":"joint_limits","is_clamp":false,"is_violation":false,"latency_ms":0.012,"layer":0,'
                    f'"metadata":{{}},"reason":"within limits",{stamp}}}'],
        "/kiv/L1": ['{"cycle_id":1042,"decision":1,"decision_name":"CLAMP","event_class":"speed","fault_source":null,'
                    '"guard_name":"velocity_cap","is_clamp":true,"is_violation":false,"latency_ms":0.025,"layer":1,'
                    f'"metadata":{{"joint":2,"limit":0.4}},"reason":"joint 2 over 0.4 rad/s",{stamp}}}'],
        "/kiv/L2": ['{"cycle_id":1042,"decision":2,"decision_name":"REJECT","event_class":"zone","fault_source":"tcp",'
                    '"guard_name":"keep_out_zone","is_clamp":false,"is_violation":true,"latency_ms":0.0375,"layer":2,'
                    f'"metadata":{{"margin_m":-0.01,"zone":"A"}},"reason":"tool inside zone \\"A\\"",{stamp}}}'],
        "/kiv/L3": [],
        "/kiv/L4": [],
        "/kiv/latency": '{"L0_ms":0.01,"L1_ms":0.02,"L2_ms":0.04,"cycle_id":1042,"guards_ms":0.125,"policy_ms":2.25,'
                        f'"sink_ms":0.0625,"source_ms":0.5,{stamp},"total_ms":3.0}}',
    }


def test_returns_a_new_dict_of_bytes_and_lists_of_bytes():
    first, second = serialize(record_dict()), serialize(record_dict())
    assert set(first) == TOPICS and first is not second
    for topic in TOPICS - set(LAYER_TOPICS):
        assert type(first[topic]) is bytes
    for topic in LAYER_TOPICS:
        assert type(first[topic]) is list and all(type(m) is bytes for m in first[topic])
    assert first["/kiv/L1"] is not second["/kiv/L1"]


# ---- Defaults, renames and copies -------------------------------------------------


def test_fills_the_defaults_of_a_minimal_record():
    # No latency_guards at all: with no guard results none is needed.
    assert as_text(serialize(minimal_record())) == {
        "/kiv/cycle": '{"active_boundaries":[],"active_context":"normal","active_task":null,"clamped_layer_mask":0,'
                      '"config_version":0,"context_event":null,"context_severity":0,"cycle_id":5,"guards_ms":0.0,'
                      '"has_clamp":false,"has_violation":false,"policy_ms":0.0,"sink_ms":0.0,"source_ms":0.0,'
                      '"timestamp":12.5,"total_ms":0.0,"violated_layer_mask":0}',
        "/kiv/obs": '{"cycle_id":5,"joint_positions":[0.5],"timestamp":12.5}',
        "/kiv/action": '{"cycle_id":5,"fallback_triggered":null,"target_positions":[0.25],"timestamp":12.5,'
                       '"was_clamped":false}',
        **{topic: [] for topic in LAYER_TOPICS},
        "/kiv/latency": '{"cycle_id":5,"guards_ms":0.0,"policy_ms":0.0,"sink_ms":0.0,"source_ms":0.0,'
                        '"timestamp":12.5,"total_ms":0.0}',
    }


def test_copies_present_values_whatever_they_hold():
    record = minimal_record()
    record.update(has_violation="maybe", active_context=None, latency_stages={"sink": None, "total": 2},
                  latency_layers={"L0": 1.5, "L3": None, "L5": 9.0, "guards": 1.0}, cycle_id=3)
    text = as_text(serialize(record))
    assert '"has_violation":"maybe"' in text["/kiv/cycle"]
    assert '"active_context":null' in text["/kiv/cycle"]
    assert '"cycle_id":3,' in text["/kiv/cycle"]
    for topic in ("/kiv/cycle", "/kiv/latency"):
        message = json.loads(text[topic])
        assert message["sink_ms"] is None and message["guards_ms"] == 0.0
        assert type(message["total_ms"]) is int and message["total_ms"] == 2
    assert text["/kiv/latency"].startswith('{"L0_ms":1.5,"L3_ms":null,"cycle_id":3,')


def test_puts_observation_channels_at_the_top_level():
    record = minimal_record()
    record["obs_channels"] = {"zeta": [1.0], "timestamp": 99, "skipped": None, "alpha": {"b": 1, "a": 2}}
    assert as_text(serialize(record))["/kiv/obs"] == (
        '{"alpha":{"a":2,"b":1},"cycle_id":5,"joint_positions":[0.5],"timestamp":99,"zeta":[1.0]}')
    for not_channels in ([1, 2], "x", None, {}):
        record["obs_channels"] = not_channels
        assert as_text(serialize(record))["/kiv/obs"] == '{"cycle_id":5,"joint_positions":[0.5],"timestamp":12.5}'


def test_adds_optional_actions_only_when_set():
    record = minimal_record()
    record.update(action_velocities=None, validated_positions=[1.0], validated_velocities=[], fallback_triggered="hold")
    assert as_text(serialize(record))["/kiv/action"] == (
        '{"cycle_id":5,"fallback_triggered":"hold","target_positions":[0.25],"timestamp":12.5,'
        '"validated_positions":[1.0],"validated_velocities":[],"was_clamped":false}')


def test_files_guard_results_by_layer_in_order():
    record = with_guards(guard(1, "first"), guard(3, "third"), guard(1, "second"), guard(7, "beyond"),
                         guard(-1, "below"), latency_guards={"first": 0.5, "second": None})
    messages = as_text(serialize(record))
    assert [json.loads(m)["guard_name"] for m in messages["/kiv/L1"]] == ["first", "second"]
    assert [json.loads(m)["guard_name"] for m in messages["/kiv/L3"]] == ["third"]
    assert messages["/kiv/L0"] == messages["/kiv/L2"] == messages["/kiv/L4"] == []
    assert messages["/kiv/L1"][0] == (
        '{"cycle_id":5,"decision":0,"decision_name":"PASS","event_class":null,"fault_source":null,"guard_name":"first",'
        '"is_clamp":false,"is_violation":false,"latency_ms":0.5,"layer":1,"metadata":{},"reason":"ok",'
        '"timestamp":12.5}')
    assert '"latency_ms":null' in messages["/kiv/L1"][1]  # null in the table
    assert '"latency_ms":null' in messages["/kiv/L3"][0]  # not in the table


def test_takes_guard_latency_from_the_record_not_the_element():
    record = with_guards(guard(0, latency_ms=42.0, cycle_id=999, timestamp=-1.0, metadata={"k": [1]}))
    message = json.loads(serialize(record)["/kiv/L0"][0])
    assert message["latency_ms"] is None
    assert (message["cycle_id"], message["timestamp"], message["metadata"]) == (5, 12.5, {"k": [1]})


@pytest.mark.parametrize("layer", [7, -1])
def test_builds_guard_results_outside_the_topics_all_the_same(layer):
    with pytest.raises(RuntimeError, match="^Missing reason$"):
        serialize(with_guards({k: v for k, v in guard(layer).items() if k != "reason"}))


# ---- Spelling ---------------------------------------------------------------------------


def test_spells_numbers_and_text_like_the_writer():
    record = minimal_record()
    record["obs_joint_positions"] = [1e-05, 0.0001, 1e16, 1e15, 1e-07, 2.0, 2, -0.0, 0.1 + 0.2, 2.5e-300,
                                     1.2345678901234568e17, 18446744073709551615]
    record["active_task"] = "caf\u00e9\tdesk/\u20ac\x01\x7f"
    text = serialize(record)
    assert b'"joint_positions":[0.00001,0.0001,1e+16,1000000000000000.0,1e-7,2.0,2,-0.0,0.30000000000000004,' \
           b'2.5e-300,1.2345678901234568e+17,18446744073709551615]' in text["/kiv/obs"]
    assert '"active_task":"café\\tdesk/€\\u0001\x7f"'.encode() in text["/kiv/cycle"]


def test_takes_whatever_json_dumps_takes():
    class Layer(enum.IntEnum):
        L2 = 2

    record = with_guards(guard(Layer.L2, decision_name=("a", "b")), latency_guards={"g": 1})
    record["obs_channels"] = {2: [0.5], True: (1, 2), None: [3]}
    messages = serialize(record)
    assert json.loads(messages["/kiv/L2"][0])["decision_name"] == ["a", "b"]
    assert b'"layer":2,' in messages["/kiv/L2"][0]
    assert messages["/kiv/obs"] == b'{"2":[0.5],"cycle_id":5,"joint_positions":[0.5],"null":[3],"timestamp":12.5,"true":[1,2]}'


# ---- Failures ------------------------------------------------------------------------------


def without(key, record=None):
    record = minimal_record() if record is None else record
    del record[key]
    return record


def changed(**changes):
    record = minimal_record()
    record.update(changes)
    return record


@pytest.mark.parametrize(
    ("record", "message"),
    [
        (without("cycle_id"), "Missing or invalid cycle_id"),
        (changed(cycle_id=3.0), "Missing or invalid cycle_id"),
        (changed(cycle_id=-1), "Missing or invalid cycle_id"),
        (changed(cycle_id=True), "Missing or invalid cycle_id"),
        (changed(cycle_id="3"), "Missing or invalid cycle_id"),
        (changed(cycle_id=2**64), "Missing or invalid cycle_id"),
        ([minimal_record()], "Missing or invalid cycle_id"),
        (without("obs_timestamp"), "Missing or invalid obs_timestamp"),
        (changed(obs_timestamp="now"), "Missing or invalid obs_timestamp"),
        (changed(obs_timestamp=None), "Missing or invalid obs_timestamp"),
        (without("latency_stages"), "Missing latency_stages"),
        (changed(latency_stages=[]), "Missing latency_stages"),
        (without("active_boundaries"), "Missing active_boundaries"),
        (without("has_violation"), "Missing has_violation"),
        (without("has_clamp"), "Missing has_clamp"),
        (without("violated_layer_mask"), "Missing violated_layer_mask"),
        (without("clamped_layer_mask"), "Missing clamped_layer_mask"),
        (without("obs_joint_positions"), "Missing obs_joint_positions"),
        (without("action_positions"), "Missing action_positions"),
        (without("was_clamped"), "Missing was_clamped"),
        (without("guard_results"), "Missing or invalid guard_results"),
        (changed(guard_results={}), "Missing or invalid guard_results"),
        (without("latency_layers"), "Missing latency_layers"),
        (with_guards({k: v for k, v in guard(1).items() if k != "layer"}), "Missing or invalid guard layer"),
        (with_guards(guard(2.0)), "Missing or invalid guard layer"),
        (with_guards(guard("1")), "Missing or invalid guard layer"),
        (with_guards(guard(2**63)), "Missing or invalid guard layer"),
        (with_guards(5), "Missing or invalid guard layer"),
        (with_guards({k: v for k, v in guard(1).items() if k != "guard_name"}), "Missing guard_name"),
        (with_guards(guard(1, name=5)), "Missing guard_name"),
        (without("latency_guards", with_guards(guard(1))), "Missing latency_guards"),
        *[(with_guards({k: v for k, v in guard(1).items() if k != key}), f"Missing {key}")
          for key in ("decision", "decision_name", "reason", "is_violation", "is_clamp")],
        # The first check that fails decides.
        (without("latency_stages", without("cycle_id")), "Missing or invalid cycle_id"),
        (without("obs_joint_positions", without("active_boundaries")), "Missing active_boundaries"),
        (without("latency_layers", without("guard_results")), "Missing or invalid guard_results"),
        (with_guards({k: v for k, v in guard(1).items() if k not in ("decision", "reason")}), "Missing decision"),
        (with_guards(guard(1), {k: v for k, v in guard(9).items() if k != "layer"}), "Missing or invalid guard layer"),
    ],
)
def test_refuses_records_with_the_first_failed_check(record, message):
    with pytest.raises(RuntimeError) as raised:
        serialize(record)
    assert str(raised.value) == message


def depth_position(text, depth):
    """Column of the bracket that opens nesting level `depth` (strings here hold no brackets)."""
    level = 0
    for column, char in enumerate(text, 1):
        if char in "[{":
            level += 1
            if level == depth:
                return column
        elif char in "]}":
            level -= 1
    raise AssertionError("not that deep")


def nested(levels):
    value = 1
    for _ in range(levels):
        value = [value]
    return value


@pytest.mark.parametrize(
    ("change", "wording", "marker"),
    [
        (dict(obs_timestamp=float("nan")), "expected value", "NaN"),
        (dict(obs_joint_positions=[0.5, float("inf")]), "expected value", "Infinity"),
        (dict(action_positions=[float("-inf")]), "invalid number", "-Infinity"),
        (dict(active_task="\ud800x"), "unexpected end of hex escape", "\\ud800x"),
        (dict(active_task="\udc00"), "lone leading surrogate in hex escape", "\\udc00"),
    ],
)
def test_refuses_text_that_is_not_json(change, wording, marker):
    record = changed(**change)
    text = json.dumps(record)
    # At the unexpected byte: the first of NaN or Infinity, the second letter
    # of -Infinity, the byte after a leading surrogate, the end of a trailing one.
    column = {"NaN": 1, "Infinity": 1, "-Infinity": 2, "\\ud800x": 7, "\\udc00": 6}[marker]
    column += text.index(marker)
    with pytest.raises(ValueError) as raised:
        serialize(record)
    assert str(raised.value) == f"Failed to parse CycleRecord dict: {wording} at line 1 column {column}"


def test_refuses_nesting_beyond_127_levels():
    # The record, guard_results and the guard result are three levels.
    record = with_guards(guard(1, metadata=nested(124)), latency_guards={"g": 1})
    assert json.loads(serialize(record)["/kiv/L1"][0])["metadata"] == nested(124)
    record["guard_results"][0]["metadata"] = nested(125)
    with pytest.raises(ValueError) as raised:
        serialize(record)
    column = depth_position(json.dumps(record), 128)
    assert str(raised.value) == f"Failed to parse CycleRecord dict: recursion limit exceeded at line 1 column {column}"


def test_passes_json_dumps_errors_through():
    with pytest.raises(TypeError, match="^Object of type bytes is not JSON serializable$"):
        serialize(changed(active_task=b"raw"))
    looped = minimal_record()
    looped["context_event"] = {"self": looped}
    with pytest.raises(ValueError, match="^Circular reference detected$"):
        serialize(looped)


def test_looks_up_json_dumps_on_every_call(monkeypatch):
    calls = []

    def fake_dumps(*args, **kwargs):
        calls.append((args, kwargs))
        return json.JSONEncoder().encode({**args[0], "cycle_id": 77})

    record = minimal_record()
    monkeypatch.setattr(json, "dumps", fake_dumps)
    assert serialize(record)["/kiv/obs"].startswith(b'{"cycle_id":77,')
    assert calls == [((record,), {})]
    monkeypatch.setattr(json, "dumps", lambda obj: "{} x")
    with pytest.raises(ValueError, match="^Failed to parse CycleRecord dict: trailing characters at line 1 column 4$"):
        serialize(record)
    monkeypatch.setattr(json, "dumps", lambda obj: b"{}")
    with pytest.raises(TypeError):
        serialize(record)
    monkeypatch.undo()
    assert serialize(record)["/kiv/obs"].startswith(b'{"cycle_id":5,')
