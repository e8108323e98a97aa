import json
import os

import pytest

from zylora import zylsetup

EMPTY = {
    "buckets": {},
    "bucket_order": [],
    "settings": {},
    "setting_labels": {},
    "setting_to_bucket": {},
    "settings_by_bucket": {},
}


@pytest.fixture
def description_file(tmp_path, monkeypatch):
    """Point the module at a description file of the test's own making."""
    fake_module = tmp_path / "zylsetup.so"
    monkeypatch.setattr(zylsetup, "__file__", str(fake_module))
    zylsetup.DESCRIPTION_CACHE = None
    path = tmp_path / zylsetup.DESCRIPTION_FILE_NAME

    def write(content):
        path.write_text(content if isinstance(content, str) else json.dumps(content))
        zylsetup.DESCRIPTION_CACHE = None
        return path

    return write


def test_shipped_file_lies_beside_the_module():
    zylsetup.DESCRIPTION_CACHE = None
    path = os.path.join(os.path.dirname(zylsetup.__file__), zylsetup.DESCRIPTION_FILE_NAME)
    assert os.path.isfile(path)
    data = zylsetup.load_description_data()
    assert data["bucket_order"]
    assert "config_file" in data["setting_to_bucket"]
    for bucket in data["bucket_order"]:
        assert data["buckets"][bucket].strip()
        for name in data["settings_by_bucket"][bucket]:
            assert data["settings"][name].strip()
            # every listed setting is one that GZL.pc really reads
            assert zylsetup.get_global_setting_value(name) != "<unavailable>"
    labels = set(data["setting_labels"].values())
    assert labels == {zylsetup.LABEL_IMPACTFUL, zylsetup.LABEL_SUPPORTING}


def test_missing_file_gives_empty_data_cached(description_file):
    data = zylsetup.load_description_data()
    assert data == EMPTY and list(data) == list(EMPTY)
    assert zylsetup.load_description_data() is data
    assert zylsetup.DESCRIPTION_CACHE is data
    # a file that appears later is not seen: the empty data is cached
    description_file({"buckets": {"B": "text"}})
    zylsetup.DESCRIPTION_CACHE = data
    assert zylsetup.load_description_data() is data
    assert zylsetup.get_setting_label("x") == "supporting"
    assert zylsetup.get_setting_description("x") == "No description available for x."
    assert zylsetup.get_setting_description(3) == "No description available for 3."
    assert zylsetup.get_bucket_description("B") == "No description available."


@pytest.mark.parametrize(
    "content",
    ["{not json", '{"buckets": [1, 2]}', '{"buckets": null}', "", '{"other": 1}'],
    ids=["invalid-json", "buckets-array", "buckets-null", "empty-file", "no-buckets-key"],
)
def test_unusable_content_gives_empty_data(description_file, content):
    description_file(content)
    assert zylsetup.load_description_data() == EMPTY


def test_top_level_not_an_object_raises_and_caches_nothing(description_file):
    description_file("[1, 2]")
    with pytest.raises(AttributeError):
        zylsetup.load_description_data()
    assert zylsetup.DESCRIPTION_CACHE is None
    description_file({"buckets": {"B": "b"}})
    assert zylsetup.load_description_data()["bucket_order"] == ["B"]


def test_accepted_forms(description_file):
    description_file({
        "ignored": 1,
        "buckets": {
            "Obj": {
                "description": "obj bucket",
                "extra": True,
                "settings": {
                    "full": {"description": "full one", "label": "impactful"},
                    "plain": "plain text",
                    "number": 5,
                    "bare": {},
                },
            },
            "Text": "text bucket",
            "Num": 7,
            "NoSettings": {},
            "ArraySettings": {"settings": ["a", "b"], "description": ["x"]},
        },
    })
    data = zylsetup.load_description_data()
    assert list(data) == list(EMPTY)
    assert data["bucket_order"] == ["Obj", "Text", "Num", "NoSettings", "ArraySettings"]
    assert data["buckets"] == {
        "Obj": "obj bucket", "Text": "text bucket", "NoSettings": "", "ArraySettings": ["x"],
    }
    assert data["settings_by_bucket"] == {
        "Obj": ["full", "plain", "number", "bare"], "NoSettings": [], "ArraySettings": [],
    }
    assert data["settings"] == {"full": "full one", "plain": "plain text", "bare": ""}
    assert data["setting_labels"] == {"full": "impactful", "plain": "supporting", "bare": "supporting"}
    assert data["setting_to_bucket"] == {n: "Obj" for n in ["full", "plain", "number", "bare"]}

    assert zylsetup.get_setting_description("bare") == ""
    assert zylsetup.get_setting_description("number") == "No description available for number."
    assert zylsetup.get_setting_label("number") == "supporting"
    assert zylsetup.get_setting_label(setting_name="full") == "impactful"
    assert zylsetup.get_bucket_description("Num") == "No description available."
    assert zylsetup.get_bucket_description(bucket_name="ArraySettings") == ["x"]


def test_setting_in_two_buckets_takes_the_later_one(description_file):
    description_file({
        "buckets": {
            "A": {"settings": {"s": {"description": "from A", "label": "impactful"}, "t": "t in A"}},
            "B": {"settings": {"s": "from B", "t": {"description": "t in B", "label": "Impactful"}}},
        },
    })
    data = zylsetup.load_description_data()
    assert data["settings_by_bucket"] == {"A": ["s", "t"], "B": ["s", "t"]}
    assert data["settings"] == {"s": "from B", "t": "t in B"}
    assert data["setting_labels"] == {"s": "supporting", "t": "impactful"}
    assert data["setting_to_bucket"] == {"s": "B", "t": "B"}


class Text(str):
    pass


@pytest.mark.parametrize(
    "label, expected",
    [
        ("impactful", "impactful"),
        ("IMPACTFUL", "impactful"),
        ("  impactful\n", "impactful"),
        ("Impactful Hyperparameters", "impactful"),
        ("impactful  \t hyperparameters", "impactful"),
        (Text("impactful"), "impactful"),
        ("impactful!", "supporting"),
        ("impact ful", "supporting"),
        ("supporting", "supporting"),
        ("", "supporting"),
        (1, "supporting"),
        (None, "supporting"),
        (["impactful"], "supporting"),
    ],
    ids=[
        "plain", "capitals", "surrounding-space", "hyperparameters", "inner-space-and-tab",
        "str-subclass", "punctuation", "split-word", "supporting", "empty", "number", "none", "list",
    ],
)
def test_normalize_label(label, expected):
    assert zylsetup._normalize_label(label) == expected
    assert zylsetup._normalize_label(label_text=label) == expected


def test_label_goes_through_module_namespace(description_file, monkeypatch):
    description_file({"buckets": {"B": {"settings": {"s": {"label": "impactful"}}}}})
    assert zylsetup.get_setting_label("s") == "impactful"
    monkeypatch.setattr(zylsetup, "_normalize_label", lambda label_text: "odd")
    assert zylsetup.get_setting_label("s") == "odd"
