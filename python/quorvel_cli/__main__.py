from quorvel_lab.cli import main

raise SystemExit(main())
