from quorvel_cli import main

raise SystemExit(main())
