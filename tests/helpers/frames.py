"""Builders of small tables shared by the store tests."""

import pandas as pd


def pivot(values, index, days):
    """A pivot table: instruments as rows, date texts (or dates) as columns."""
    return pd.DataFrame(values, index=pd.Index(index), columns=list(days))
