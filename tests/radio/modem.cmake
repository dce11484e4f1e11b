# Serial radio modem: frame codec, link and parameter records on the simulated modem, placeholders.
tolvar_test(tst_slip_frame SOURCES tst_slip_frame.cpp LIBS radio LABELS unit)
tolvar_test(tst_ax_modem SOURCES tst_ax_modem.cpp LIBS radio sim_modem LABELS unit)
tolvar_test(tst_vexa_conf SOURCES tst_vexa_conf.cpp LIBS radio sim_modem LABELS unit)
tolvar_test(tst_replace_placeholders SOURCES tst_replace_placeholders.cpp LIBS radio LABELS unit)
tolvar_test(tst_ax8052f143_transmitter SOURCES tst_ax8052f143_transmitter.cpp LIBS radio sim_modem LABELS unit)
