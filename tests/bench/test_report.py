"""The figures block of the documentation: rewritten in place, twice alike,
and never touched when its markers are missing."""

import pytest

import report

RESULTS = {
    "mode": "full",
    "machine": {"cpu": "Test CPU", "cpus_usable": 2, "python": "3.14.0",
                "load_average_start": [0.5, 0.4, 0.3], "quorbell_commit": "abc1234"},
    "versions": {"quorbell": "0.1.0", "hnswlib": "0.9.0"},
    "datasets": {"gauss-8": {
        "points": 100, "queries": 10, "dim": 8, "about": "test",
        "libraries": {
            "quorbell": {"build_s": 1.0, "latency_p50_us": 10.0, "recall_at_10": 0.5, "batch_qps_2": 200.0,
                         "recall_at_10_builds": [0.5, 0.52, 0.5]},
            "hnswlib": {"build_s": 4.0, "latency_p50_us": 20.0, "recall_at_10": 0.9, "batch_qps_2": 100.0,
                        "recall_at_10_builds": [0.9, 0.9]},
        },
        "exact_path": {"points": 99, "quorbell_us": 3.0, "quorbell_list_query_us": 2.0,
                       "numpy_us": 2.5, "ratio": 1.2, "top10_agreement": 1.0}}},
}
RESULTS["ratios"] = report.ratios(RESULTS)
RESULTS["headline"] = report.headline(RESULTS)


def test_ratios_are_quorbell_over_peer_from_one_run():
    r = RESULTS["ratios"]["gauss-8"]["hnswlib"]
    assert (r["build_s"], r["latency_p50_us"], r["batch_qps_2"]) == (0.25, 0.5, 2.0)
    assert r["save_s"] is None
    assert RESULTS["headline"][0].startswith("gauss-8 vs hnswlib: build 4.00x faster, single-query p50 2.00x faster, "
                                             "2-thread batch throughput 2.00x higher")
    assert RESULTS["headline"][0].endswith("recall@10 0.500 (0.500 to 0.520 over 3 builds) vs 0.900")


def test_recall_over_builds_shows_its_range():
    table = report.markdown(RESULTS)
    assert "| 0.500 | 0.500–0.520 |" in table and "| 0.900 | 0.900 |" in table


@pytest.mark.parametrize("old_block", ["", "| stale | table |\n"])
def test_block_is_rewritten_in_place(tmp_path, old_block):
    doc = tmp_path / "doc.md"
    doc.write_text(f"intro\n{report.BLOCK_START}\n{old_block}{report.BLOCK_END}\noutro\n")
    assert report.update_document(doc, RESULTS)
    once = doc.read_text()
    assert once.startswith(f"intro\n{report.BLOCK_START}\n") and once.endswith(f"{report.BLOCK_END}\noutro\n")
    assert "stale" not in once and "| quorbell | 1.00 | 10 |" in once and "commit abc1234" in once
    assert report.update_document(doc, RESULTS) and doc.read_text() == once


@pytest.mark.parametrize("text", ["no markers\n", f"{report.BLOCK_START}\nonly the start\n"])
def test_document_without_markers_is_left_alone(tmp_path, text):
    doc = tmp_path / "doc.md"
    doc.write_text(text)
    assert not report.update_document(doc, RESULTS)
    assert doc.read_text() == text


@pytest.mark.parametrize("ours, theirs, row", [
    ([0, 0], [202, 215], "| copies first | what (of 500, 3 builds) | 0 | 202–215 |"),
    ([0, 1], None, "| copies first | what (of 500, 3 builds) | 0–1 | - |"),
])
def test_duplicate_counts_show_each_librarys_range(ours, theirs, row):
    results = dict(RESULTS, duplicates={"copies first": {"about": "what", "of": 500, "builds": 3,
                                                         "quorbell": ours, "hnswlib": theirs}})
    assert row in report.markdown(results)
    assert "Duplicates and NaN vectors" not in report.markdown(RESULTS)
