from tarnwick.cli import main

raise SystemExit(main())
