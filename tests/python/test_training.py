"""velatro.train from a DataFrame, then reconcile with the learned spec; charts render."""

import random
import shutil
import subprocess

import pytest

import velatro

SPEC = """
api_version: velatro/v1
identity_version: "1"
entity: {name: person}
sources:
  - name: crm
    system: crm
    table: people
    id: external_id
    attributes: {first_name: first_name, last_name: last_name, email: email, city: city}
blocking: {keys: [[city], [last_name]]}
decision:
  thresholds: {match: 0.9}
  scoring:
    strategy: fellegi_sunter
    thresholds: {match: 8.0, possible: 2.0, non_match: -4.0}
    training: {method: em, max_iterations: 50, convergence_threshold: 0.0001}
    fields:
      - {name: first_name, comparator: jaro_winkler, m_probability: 0.9, u_probability: 0.05}
      - {name: last_name, comparator: jaro_winkler, m_probability: 0.9, u_probability: 0.05,
         term_frequency: true}
      - {name: email, comparator: exact, m_probability: 0.95, u_probability: 0.001}
      - {name: city, comparator: exact, m_probability: 0.9, u_probability: 0.1}
"""

FIRST = ["anna", "bert", "carla", "dieter", "emma", "frank", "greta", "hans", "ida", "jonas",
         "karin", "lukas", "maria", "nils", "olga", "paul"]
LAST = ["meyer", "schmidt", "schneider", "fischer", "weber", "wagner", "becker", "hoffmann",
        "koch", "richter", "klein", "wolf"]


def people(count, seed=1):
    """Rows of people with one to three records each; typos, missing e-mails."""
    rng = random.Random(seed)

    def typo(s):
        if len(s) > 3 and rng.random() < 0.25:
            s = s[0] + s[2] + s[1] + s[3:]
        return s

    rows, person = [], []
    for p in range(count):
        first = rng.choice(FIRST) + rng.choice(FIRST)
        last = rng.choice(LAST) + rng.choice(LAST)
        city = f"city{rng.randrange(6)}"
        for _ in range(rng.randint(1, 3)):
            row = {"external_id": str(len(rows)), "first_name": typo(first),
                   "last_name": typo(last), "city": city}
            if rng.random() < 0.8:
                row["email"] = f"{first}.{last}{p}@mail"
            rows.append(row)
            person.append(p)
    return rows, person


def pairwise_f1(clusters, person):
    by_key = dict(zip(clusters.column("external_id").to_pylist(),
                      clusters.column("cluster_id").to_pylist()))
    found = {}
    for key, cluster in by_key.items():
        found.setdefault(cluster, []).append(int(key))
    predicted = {(a, b) for members in found.values() for a in members for b in members if a < b}
    truth = {(a, b) for a in range(len(person)) for b in range(a + 1, len(person))
             if person[a] == person[b]}
    tp = len(predicted & truth)
    precision = tp / len(predicted) if predicted else 0.0
    recall = tp / len(truth)
    return 2 * precision * recall / (precision + recall) if tp else 0.0


@pytest.fixture(scope="module")
def data():
    pd = pytest.importorskip("pandas")
    rows, person = people(300)
    return pd.DataFrame(rows), person


@pytest.fixture(scope="module")
def model(data):
    frame, _ = data
    return velatro.train(SPEC, frame, max_random_pairs=30000, seed=3)


def test_train_then_reconcile_from_a_dataframe(data, model):
    frame, person = data
    report = model.report
    assert report["method"] == "em"
    assert [f["name"] for f in report["fields"]] == ["first_name", "last_name", "email", "city"]
    email = report["fields"][2]["levels"][0]
    assert email["m_probability"] > 0.95 and email["match_weight"] > 6
    assert [p["fixed_fields"] for p in report["passes"]] == [["city"], ["last_name"]]
    assert all(p["converged"] for p in report["passes"])
    assert model.suggested_threshold["precision"] > 0.9

    assert velatro.validate(model.spec_yaml) == []
    learned = velatro.reconcile(model.spec_yaml, frame)
    # The hand-set spec interpolates raw similarities; the learned one scores levels.
    assert pairwise_f1(learned.clusters, person) > 0.95
    assert pairwise_f1(learned.clusters, person) >= pairwise_f1(
        velatro.reconcile(SPEC, frame).clusters, person)
    # Posteriors are the model's probabilities, consistent with the scores.
    for row in learned.pairs.to_pylist()[:20]:
        assert row["posterior_probability"] == pytest.approx(
            1 / (1 + 2 ** -row["confidence"]), rel=1e-9)

    # Deterministic for a seed, whatever the threads.
    again = velatro.train(SPEC, frame, max_random_pairs=30000, seed=3, threads=1)
    assert again.spec_yaml == model.spec_yaml


def test_the_learned_spec_diffs_against_the_original(model):
    diff = model.diff()
    fs = diff["fs_changes"]
    assert "first_name[jaro_winkler >= 0.92]" in fs["fields_added"]
    assert any(c["path"] == "scoring.thresholds.match" for c in fs["threshold_changes"])
    assert "Fellegi-Sunter change(s)" in diff["summary"]
    assert "first_name: exact" in model.levels_text()


def test_score_distribution_and_waterfall_after_reconcile(data, model):
    frame, _ = data
    result = velatro.reconcile(model.spec_yaml, frame)
    dist = result.score_distribution
    assert dist["scale"] == "match_weight" and dist["calibrated"]
    counted = sum(b["merge"] + b["review"] + b["no_merge"] for b in dist["bins"])
    assert counted == result.telemetry["pairs_evaluated"]
    assert sum(b["no_merge"] for b in dist["bins"]) > 0  # non-merged pairs are visible

    pair = result.pairs.to_pylist()[0]
    w = result.waterfall(pair["a_id"], pair["b_id"])
    assert w["total"] == pytest.approx(pair["confidence"], abs=1e-9)
    assert w["total"] == pytest.approx(w["prior"] + sum(f["match_weight"] for f in w["fields"]))
    assert [f["field"] for f in w["fields"]] == ["first_name", "last_name", "email", "city"]
    assert "posterior probability" in result.waterfall_text(pair["a_id"], pair["b_id"])

    # Specs without levels have no waterfall; their distribution is uncalibrated.
    plain = velatro.reconcile(SPEC.replace(",\n         term_frequency: true", ""), frame)
    assert plain.score_distribution["calibrated"] is False
    assert plain.score_distribution["suggested_threshold"] is None
    with pytest.raises(ValueError, match="comparison levels"):
        plain.waterfall(pair["a_id"], pair["b_id"])


def test_labelled_pairs_give_m(data):
    frame, person = data
    rows = frame.to_dict("records")
    labels = [{"a_id": velatro.record_id("crm", rows[i]["external_id"]),
               "b_id": velatro.record_id("crm", rows[i + 1]["external_id"]),
               "match": person[i] == person[i + 1]} for i in range(len(rows) - 1)]
    model = velatro.train(SPEC, frame, labels=labels, max_random_pairs=20000)
    assert model.report["method"] == "labelled_pairs"
    assert model.report["labelled_matches"] == sum(1 for l in labels if l["match"])
    with pytest.raises(ValueError, match="not among the records"):
        velatro.train(SPEC, frame, labels=[{"a_id": "nobody", "b_id": labels[0]["a_id"],
                                            "match": True}])
    with pytest.raises(ValueError, match="'match' column"):
        velatro.train(SPEC, frame, labels=[{"a_id": labels[0]["a_id"], "b_id": labels[0]["b_id"]}])


def test_train_needs_fellegi_sunter_fields(data):
    frame, _ = data
    with pytest.raises(ValueError, match="strategy fellegi_sunter"):
        velatro.train(SPEC.split("  scoring:")[0], frame)


CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.mark.skipif(CHROMIUM is None, reason="headless Chromium (Debian package chromium) "
                    "is not installed")
def test_charts_render_in_headless_chromium(data, model, tmp_path):
    frame, _ = data
    result = velatro.reconcile(model.spec_yaml, frame)
    pair = result.pairs.to_pylist()[0]
    pages = {
        "weights.html": model.match_weights_chart,
        "histogram.html": result.score_histogram_chart,
        "waterfall.html": lambda p: result.waterfall_chart(pair["a_id"], pair["b_id"], p),
    }
    for name, write in pages.items():
        path = tmp_path / name
        write(path)
        assert "http" not in path.read_text().replace('xmlns="http://www.w3.org/2000/svg"', "")
        dom = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom",
             path.as_uri()], capture_output=True, text=True, timeout=120, check=True).stdout
        assert "<svg" in dom and dom.count('class="bar"') >= 3, name
        shot = tmp_path / (name + ".png")
        subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
             "--window-size=900,700", f"--screenshot={shot}", path.as_uri()],
            capture_output=True, timeout=120, check=True)
        png = shot.read_bytes()
        assert png[:8] == b"\x89PNG\r\n\x1a\n" and len(png) > 5000, name
