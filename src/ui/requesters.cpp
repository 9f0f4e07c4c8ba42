// ui/requesters
