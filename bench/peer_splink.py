"""The Splink (DuckDB) side of the benchmarks: the same records, blocking and
comparable comparisons as examples/customer.yaml.

Runs in the peer environment made by bench/setup_peers.sh; nothing here is
imported by the velatro package or by its tests.

The model mirrors the example spec:

- Input: the per-source Parquet tables of `generate.py --parquet`, renamed to
  the canonical fields with the sources' `attributes` maps and stacked into one
  table, so that, like velatro, Splink compares records within and across
  sources (`dedupe_only` over the union). unique_id is "source/external id".
- Cleaning, done once before the model runs (Splink expects clean columns): the
  transformations velatro's blocking applies, written in DuckDB SQL: names,
  postcodes and dates lower-cased with blanks collapsed (the name normaliser),
  e-mail trimmed and lower-cased with Gmail dots and plus tags removed (the
  e-mail normaliser) and the spec's excluded placeholder addresses made
  missing, phones in E.164 form where they parse (the phone
  normaliser), national ids upper-cased without blanks.
- Blocking: the four keys of the example's blocking section, on the cleaned
  columns: [last_name, postcode], [email], [phone], [date_of_birth, first_name].
- Comparisons: the four Fellegi-Sunter fields of the example spec (email exact,
  last name Jaro-Winkler, first name, postcode Levenshtein, each in levels as
  Splink does it) and the two reference identifiers (national id, loyalty
  number) as exact comparisons.
- Fixed m/u (the speed benchmark): each level gets the log-likelihood weight
  that velatro's interpolation gives a typical similarity of that level,
  w_disagree + s * (w_agree - w_disagree) with the spec's m, u and weight; a
  reference identifier that agrees gets a weight no other evidence can
  outweigh, as it decides the pair in velatro. The prior is 1:1 (weight 0) and
  the clustering threshold is velatro's match threshold converted from natural
  to base-2 logarithms, so both tools merge on about the same evidence. The
  one deliberate difference: Splink scores a missing value as neutral, velatro
  as disagreement.
- Trained (the quality benchmark): Splink's usual recipe: the prior from a
  deterministic rule, u by random sampling, m by expectation-maximisation in
  sessions blocked on different fields.
"""

from __future__ import annotations

import math
import time

SOURCES = ("crm", "webshop", "loyalty")

# The `attributes` maps and key columns of examples/customer.yaml
# (field -> source column), and the fields this model reads.
ATTRIBUTES = {
    "crm": {"first_name": "first_name", "last_name": "last_name", "email": "email",
            "phone": "phone", "address": "street_address", "city": "city",
            "postcode": "postal_code", "date_of_birth": "birth_date",
            "birth_year": "birth_year", "national_id": "tax_number"},
    "webshop": {"first_name": "given_name", "last_name": "family_name",
                "email": "email_address", "phone": "mobile",
                "address": "shipping_address_line1", "city": "shipping_city",
                "postcode": "shipping_zip", "geo_location": "last_order_lat_lon"},
    "loyalty": {"first_name": "fname", "last_name": "lname", "email": "contact_email",
                "postcode": "zip", "date_of_birth": "dob", "loyalty_id": "member_number"},
}
KEYS = {"crm": "contact_id", "webshop": "customer_uuid", "loyalty": "member_number"}
FIELDS = ("first_name", "last_name", "email", "phone", "address", "city", "postcode",
          "date_of_birth", "birth_year", "geo_location", "national_id", "loyalty_id")

# The blocking section of examples/customer.yaml, on the cleaned columns.
BLOCKING = (("last_name_n", "postcode_n"), ("email_n",), ("phone_n",),
            ("dob_n", "first_name_n"))

# The example spec's Fellegi-Sunter fields: (m, u, weight), and the velatro
# match threshold (natural-log units).
FS_FIELDS = {"email": (0.95, 0.001, 1.0), "last_name": (0.9, 0.01, 1.0),
             "first_name": (0.85, 0.05, 0.8), "postcode": (0.8, 0.02, 1.0)}
MATCH_THRESHOLD_LN = 8.0
# A weight (natural log) no combination of the other fields can outweigh.
DECIDING_WEIGHT_LN = 40.0

# Typical velatro similarity of each Splink level (exact first, else last),
# which gives the level its fixed weight.
LEVEL_SIMILARITY = {
    "email": (1.0, 0.0),
    "last_name": (1.0, 0.95, 0.86, 0.5),   # exact, JW >= 0.92, JW >= 0.8, else
    "first_name": (1.0, 1.0, 0.0),         # exact, JW >= 0.9 (sounds alike), else
    "postcode": (1.0, 0.86, 0.71, 0.3),    # exact, Levenshtein <= 1, <= 2, else
}

GMAIL = ("gmail.com", "googlemail.com")
# The example spec's exclusions: shared placeholder mailboxes say nothing about
# who a record is. Splink's way to say so is a missing value.
PLACEHOLDER_EMAILS = ("test@example.com", "noreply@example.com")


def _name_sql(column: str) -> str:
    return f"trim(regexp_replace(lower(nfc_normalize({column})), '\\s+', ' ', 'g'))"


def _email_sql(column: str) -> str:
    e = f"lower(trim({column}))"
    at = f"instr({e}, '@')"
    local = f"substr({e}, 1, {at} - 1)"
    domain = f"substr({e}, {at} + 1)"
    gmail = ", ".join(f"'{d}'" for d in GMAIL)
    placeholders = ", ".join(f"'{e}'" for e in PLACEHOLDER_EMAILS)
    return (f"CASE WHEN {column} IN ({placeholders}) THEN NULL "
            f"WHEN {at} <= 1 OR {domain} = '' THEN {column} "
            f"WHEN {domain} IN ({gmail}) THEN "
            f"replace(split_part({local}, '+', 1), '.', '') || '@' || {domain} "
            f"ELSE {e} END")


def _phone_sql(column: str) -> str:
    t = f"trim({column})"
    digits = f"regexp_replace({t}, '[^0-9]', '', 'g')"
    candidate = (f"CASE WHEN starts_with({t}, '+') THEN {digits} "
                 f"WHEN length({digits}) = 10 THEN '1' || {digits} "
                 f"WHEN length({digits}) BETWEEN 11 AND 15 THEN {digits} END")
    return (f"CASE WHEN {digits} <> '' AND length({candidate}) <= 15 "
            f"AND NOT starts_with({candidate}, '0') THEN '+' || {candidate} "
            f"ELSE {column} END")


def _source_select(source: str, path) -> str:
    columns = [f"'{source}/' || {KEYS[source]} AS unique_id",
               f"'{source}' AS source_name",
               f"CAST({KEYS[source]} AS VARCHAR) AS external_id"]
    for field in FIELDS:
        column = ATTRIBUTES[source].get(field)
        value = f"NULLIF(trim(CAST({column} AS VARCHAR)), '')" if column else "NULL"
        columns.append(f"{value} AS {field}")
    return f"SELECT {', '.join(columns)} FROM read_parquet('{path}')"


def prepare(con, tables: dict) -> int:
    """Load the source tables into DuckDB as one cleaned table `records`;
    returns its row count."""
    union = " UNION ALL ".join(_source_select(s, tables[s]) for s in SOURCES if s in tables)
    con.execute(f"""
        CREATE OR REPLACE TABLE records AS
        SELECT *,
            {_name_sql('first_name')} AS first_name_n,
            {_name_sql('last_name')} AS last_name_n,
            {_name_sql('postcode')} AS postcode_n,
            {_name_sql('date_of_birth')} AS dob_n,
            {_email_sql('email')} AS email_n,
            {_phone_sql('phone')} AS phone_n,
            upper(replace(national_id, ' ', '')) AS national_id_n,
            {_name_sql('last_name')} AS last_name_e,
            {_name_sql('address')} AS address_n,
            {_name_sql('city')} AS city_n,
            TRY_CAST(birth_year AS INTEGER) AS birth_year_n,
            TRY_CAST(split_part(geo_location, ',', 1) AS DOUBLE) AS lat,
            TRY_CAST(split_part(geo_location, ',', 2) AS DOUBLE) AS lon
        FROM ({union})""").fetchall()
    return con.execute("SELECT count(*) FROM records").fetchall()[0][0]


def _fixed_levels(field: str) -> tuple[list, list]:
    """m and u per level whose ratio is velatro's weight for the level."""
    m, u, weight = FS_FIELDS[field]
    agree = weight * math.log(m / u)
    disagree = weight * math.log((1 - m) / (1 - u))
    return _levels_from_weights([disagree + s * (agree - disagree)
                                 for s in LEVEL_SIMILARITY[field]])


def _levels_from_weights(weights) -> tuple[list, list]:
    # Each level needs only its ratio m/u = e^w; both stay probabilities.
    ms, us = [], []
    for w in weights:
        if w >= 0:
            ms.append(0.5)
            us.append(0.5 * math.exp(-w))
        else:
            ms.append(0.5 * math.exp(w))
            us.append(0.5)
    return ms, us


def rule_comparisons() -> list:
    """A comparison for each further rule of the example spec that DuckDB can
    measure, so that Splink computes about as many similarities per pair as
    velatro: the phone, the last name's edit distance, the address tokens
    (Jaccard for velatro's bigram cosine), the home distance, the birth year
    within one, the city and the date of birth. (The spec's Soundex and
    Metaphone rules have no DuckDB function; its ML rule computes nothing.)"""
    import splink.comparison_library as cl
    birth_year = cl.CustomComparison(output_column_name="birth_year", comparison_levels=[
        {"sql_condition": '"birth_year_n_l" IS NULL OR "birth_year_n_r" IS NULL',
         "label_for_charts": "null", "is_null_level": True},
        {"sql_condition": 'abs("birth_year_n_l" - "birth_year_n_r") <= 1',
         "label_for_charts": "within one year"},
        {"sql_condition": "ELSE", "label_for_charts": "else"}])
    return [
        (cl.ExactMatch("phone_n"), 2),
        # A column of its own: Splink names a comparison after its column.
        (cl.LevenshteinAtThresholds("last_name_e", [2]), 3),
        (cl.JaccardAtThresholds("address_n", [0.75]), 3),
        (cl.DistanceInKMAtThresholds("lat", "lon", [0.5, 1.0]), 3),
        (birth_year, 2),
        (cl.JaroWinklerAtThresholds("city_n", [0.9]), 3),
        (cl.ExactMatch("dob_n"), 2),
    ]


def comparisons(fixed: bool, all_rules: bool = False) -> list:
    import splink.comparison_library as cl
    created = [
        cl.ExactMatch("email_n"),
        cl.JaroWinklerAtThresholds("last_name_n", [0.92, 0.8]),
        cl.JaroWinklerAtThresholds("first_name_n", [0.9]),
        cl.LevenshteinAtThresholds("postcode_n", [1, 2]),
        cl.ExactMatch("national_id_n"),
        cl.ExactMatch("loyalty_id"),
    ]
    if fixed:
        levels = [_fixed_levels(f) for f in ("email", "last_name", "first_name", "postcode")]
        levels += [_levels_from_weights([DECIDING_WEIGHT_LN, 0.0])] * 2
        created = [c.configure(m_probabilities=m, u_probabilities=u)
                   for c, (m, u) in zip(created, levels)]
    if all_rules:
        # Weight 0 at every level: measured, but leaving the decisions alone.
        for comparison, levels in rule_comparisons():
            m, u = _levels_from_weights([0.0] * levels)
            created.append(comparison.configure(m_probabilities=m, u_probabilities=u))
    return created


def settings(fixed: bool, all_rules: bool = False):
    from splink import SettingsCreator, block_on
    return SettingsCreator(
        link_type="dedupe_only",
        unique_id_column_name="unique_id",
        comparisons=comparisons(fixed, all_rules),
        blocking_rules_to_generate_predictions=[block_on(*key) for key in BLOCKING],
        probability_two_random_records_match=0.5 if fixed else 1e-4,
        retain_matching_columns=False,
        retain_intermediate_calculation_columns=False,
    )


def match_weight_threshold() -> float:
    """velatro's match threshold in Splink's units (base-2 logarithms)."""
    return MATCH_THRESHOLD_LN / math.log(2)


def connect(threads: int):
    import duckdb
    con = duckdb.connect(":memory:")
    con.execute(f"SET threads = {max(1, threads)}").fetchall()
    return con


def linker(con, fixed: bool, all_rules: bool = False):
    from splink import DuckDBAPI, Linker
    db_api = DuckDBAPI(con)
    return Linker(db_api.register("records"), settings(fixed, all_rules), log_level="WARNING")


def train(model, seed: int, max_pairs: float) -> dict:
    """Splink's usual training: the prior from a deterministic rule, u by
    random sampling, m by EM in two sessions; returns the time of each step."""
    from splink import block_on
    times = {}
    started = time.perf_counter()
    model.training.estimate_probability_two_random_records_match(
        [block_on("email_n"), block_on("national_id_n")], recall=0.7)
    times["prior_s"] = time.perf_counter() - started
    started = time.perf_counter()
    model.training.estimate_u_using_random_sampling(max_pairs=max_pairs, seed=seed)
    times["u_s"] = time.perf_counter() - started
    started = time.perf_counter()
    model.training.estimate_parameters_using_expectation_maximisation(
        block_on("last_name_n", "postcode_n"))
    model.training.estimate_parameters_using_expectation_maximisation(block_on("dob_n"))
    times["em_s"] = time.perf_counter() - started
    return times


def predict_and_cluster(model, threshold_weight: float | None = None,
                        threshold_probability: float | None = None):
    """Scored pairs and clusters; returns (predictions, clusters, seconds of each)."""
    started = time.perf_counter()
    predictions = model.inference.predict()
    predicted = time.perf_counter()
    clusters = model.clustering.cluster_pairwise_predictions_at_threshold(
        predictions, threshold_match_weight=threshold_weight,
        threshold_match_probability=threshold_probability)
    clustered = time.perf_counter()
    return predictions, clusters, {"predict_s": predicted - started,
                                   "cluster_s": clustered - predicted}


def cluster_table(con, clusters):
    """(source_name, external_id, cluster_id) of every record, as Arrow."""
    return con.execute(
        f"SELECT source_name, external_id, CAST(cluster_id AS VARCHAR) AS cluster_id "
        f"FROM {clusters.physical_name}").to_arrow_table()


def count_rows(con, table) -> int:
    # Fetched to the end: DuckDB lets no other statement run on a connection
    # with a result left open.
    return con.execute(f"SELECT count(*) FROM {table.physical_name}").fetchall()[0][0]


def candidate_recall(con, predictions, truth_parquet) -> float:
    """Share of the true pairs that blocking compared at all: the recall no
    scoring can exceed (short of links through a third record)."""
    truth = (f"SELECT source_name || '/' || external_id AS uid, person_id "
             f"FROM read_parquet('{truth_parquet}')")
    compared = con.execute(f"""
        SELECT count(*) FROM {predictions.physical_name} p
        JOIN ({truth}) a ON a.uid = p.unique_id_l JOIN ({truth}) b ON b.uid = p.unique_id_r
        WHERE a.person_id = b.person_id""").fetchall()[0][0]
    total = con.execute(f"""SELECT coalesce(sum(n * (n - 1) // 2), 0)
        FROM (SELECT count(*) AS n FROM ({truth}) GROUP BY person_id)""").fetchall()[0][0]
    return compared / total if total else 1.0
