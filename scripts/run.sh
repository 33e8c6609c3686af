#!/usr/bin/env bash
# Starts Tonbrik. Until the window exists there is nothing to run.
echo "Tonbrik: not yet: the window arrives later (build/windows holds the engine library)."
