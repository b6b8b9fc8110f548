# Read by ctest once the test programs have listed their tests: the longest of them, with about the
# seconds each takes on two cores, so that a first run (before ctest has timings of its own, as on
# a fresh clone) starts them first and the short ones fill in beside them. A test renamed or gone
# only loses its place in the queue.
foreach(
  entry
  "MixedBusBench.BusViewShowsEachDevicesMode 30"
  "MethodTableOnABus.HeadersAndWhatEachMethodChanges 12"
  "ScriptedHost.EveryAnswerTakenIsTheOneGivenToThatCommand 26"
  "ServiceTest.NotesAreCreditedAfterALostPortASilentBusAndAReset 22"
  "ServiceTest.AKillAtAnyPointNeitherDoublesNorLosesMoney 19"
  "Validator.StackerCycleWaitsLongOnlyForItsOwnReply 17"
  "ScriptedHost.TimeoutSelectionAndOneShotLongWait 17"
  "ServiceTest.DevicesThatAnswerOnlyAfterTheServiceCameUpAreFound 15"
  "PayoutTest.AHopperPayingOverTimeIsFollowedToItsLastCoin 13"
  "Framings/KioskBus.NotesAndCoinsAreCreditedThroughBusyAndASlowReset/foundBesideConfigured 13"
  "Framings/KioskBus.NotesAndCoinsAreCreditedThroughBusyAndASlowReset/found 13"
  "SimulatedBench.AddressPollListsEveryDeviceOrNone 12"
  "ServiceTest.MoneyTakenWhileTheServiceWasDeadIsCreditedOrReportedLost 12"
  "PayoutTest.WhatIsBookedIsWhatTheHopperPaidThroughKillsAndJams 12"
  "Bus.AddressPollReportsOnlyAnswersThatCouldBeDevices 12"
  "ServiceOnASmallDisk.AFullDiskReturnsTheNoteAndStopsAcceptance 11"
  "CliScan.FindsEachDeviceInItsOwnFramingOnAMixedBus 11"
  "Framings/KioskBus.NotesAndCoinsAreCreditedThroughBusyAndASlowReset/configured 10"
  "ServiceTest.AJournalDeletedOrReplacedIsNeverTakenForTheOneLastWritten 9"
  "ServiceTest.ANoteTheValidatorResetOverIsPublishedInDoubtUntilSettled 8"
  "Framings/KioskBus.NotesAndCoinsAreCreditedThroughBusyAndASlowReset/busFramingAndLines 8"
  "WindowOnScreen.FitsCentresAndGivesTheRoomToThePanes 7"
  "SettingsFileUnderKill.EveryKillLeavesOneWholeVersion 7"
  "ServiceTest.AJournalThatCannotBeWrittenStopsAcceptance 7"
  "ScriptedBench.AddressClashShowsTwoDevicesOnOneAddress 7"
  "ServiceTest.WithoutTheBrokerNothingIsTakenWhenAskedSo 6"
)
  separate_arguments(entry)
  list(GET entry 0 name)
  list(GET entry 1 seconds)
  set_tests_properties("${name}" PROPERTIES COST ${seconds})
endforeach()
