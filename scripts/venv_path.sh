#!/usr/bin/env bash
# Prints the folder of the Python environment used by the worker's tests and the demo.
echo "${COLLOQUOR_VENV:-$HOME/.cache/colloquor/venv}"
