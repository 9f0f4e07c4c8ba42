// ui/main_window
