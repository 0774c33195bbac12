"""The record formats and field types the builders read: apart from the
builders, so the command line's parser names them without importing them."""

from __future__ import annotations

FORMATS = ("jsonl", "csv", "tsv", "parquet")
SCHEMA_TYPES = ("str", "int", "float", "bool", "json")
