"""The pickle corpus (tests/data/pickles-corpus, written by tests/tools/make_corpus.py under
nine producers, pandas 1.3 to 3.1): every file that the installed pandas reads, by
pickle.loads or else by its compatibility reader pd.read_pickle, loads through the client's
reader equal to what pandas read (classes, values, dtypes, names, frequencies, zone classes,
attrs and flags); a file that neither reads is refused with UnpicklingError or ImportError."""

import os
import pickle

import pytest

import corpus_outcomes

FILES = corpus_outcomes.corpus_files()
ROOT = corpus_outcomes.CORPUS


def still_refused():
    """Files the reader does not load yet (the list shrinks as the rule table learns them)."""
    path = os.path.join(ROOT, "still-refused.txt")
    if not os.path.exists(path):
        return set()
    with open(path, encoding="utf-8") as f:
        return {line.split()[0] for line in f if line.strip() and not line.startswith("#")}


STILL_REFUSED = still_refused()


def test_corpus_holds_every_producer():
    producers = {os.path.basename(os.path.dirname(p)) for p in FILES}
    assert len(producers) >= 9 and len(FILES) > 1500, (sorted(producers), len(FILES))


@pytest.mark.parametrize("path", FILES, ids=lambda p: os.path.relpath(p, ROOT))
def test_corpus_file_reads_as_pandas_reads_it(path, request):
    if os.path.relpath(path, ROOT) in STILL_REFUSED:
        request.applymarker(pytest.mark.xfail(reason="not loaded by the reader yet", strict=True))
    with open(path, "rb") as f:
        data = f.read()
    how, expected = corpus_outcomes.trusted(data)
    if how is None:
        with pytest.raises((pickle.UnpicklingError, ImportError)):
            corpus_outcomes.read_by_client(data)
        return
    corpus_outcomes.assert_same(corpus_outcomes.read_by_client(data), expected)
