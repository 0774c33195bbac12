"""Sharded stores: a directory of ordinary store files and a manifest."""

# The manifest's file name, here so that telling a sharded store from a file
# imports none of the sharded machinery.
MANIFEST_NAME = "velkstore-manifest.json"
