"""python3 -m mvsdk: see mvsdk._convert."""
import sys

from ._convert import main

sys.exit(main())
