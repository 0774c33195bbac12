"""Sharded stores: a directory of ordinary store files and a manifest."""
