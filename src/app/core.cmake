# The station core's own helpers use the command handlers.
target_link_libraries(app PUBLIC commands)
