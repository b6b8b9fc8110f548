# Read by ctest once the test programs have listed their tests: the longest of them, with about the
# seconds each takes on two cores, so that a first run (before ctest has timings of its own, as on
# a fresh clone) starts them first and the short ones fill in beside them. A test renamed or gone
# only loses its place in the queue. Each entry: seconds, then the name as ctest lists it.
foreach(
  entry
  "30 MixedBusBench.BusViewShowsEachDevicesMode"
  "22 ServiceTest.NotesAreCreditedAfterALostPortASilentBusAndAReset"
  "19 ServiceTest.AKillAtAnyPointNeitherDoublesNorLosesMoney"
  "17 Validator.StackerCycleWaitsLongOnlyForItsOwnReply"
  "17 ScriptedHost.TimeoutSelectionAndOneShotLongWait"
  "15 ServiceTest.DevicesThatAnswerOnlyAfterTheServiceCameUpAreFound"
  "13 PayoutTest.AHopperPayingOverTimeIsFollowedToItsLastCoin"
  "13 Framings/KioskBus.NotesAndCoinsAreCreditedThroughBusyAndASlowReset/foundBesideConfigured  # GetParam() = foundBesideConfigured"
  "13 Framings/KioskBus.NotesAndCoinsAreCreditedThroughBusyAndASlowReset/found  # GetParam() = found"
  "12 MethodTableOnABus.HeadersAndWhatEachMethodChanges"
  "12 SimulatedBench.AddressPollListsEveryDeviceOrNone"
  "12 ServiceTest.MoneyTakenWhileTheServiceWasDeadIsCreditedOrReportedLost"
  "12 PayoutTest.WhatIsBookedIsWhatTheHopperPaidThroughKillsAndJams"
  "12 Bus.AddressPollReportsOnlyAnswersThatCouldBeDevices"
  "11 ServiceOnASmallDisk.AFullDiskReturnsTheNoteAndStopsAcceptance"
  "11 CliScan.FindsEachDeviceInItsOwnFramingOnAMixedBus"
  "10 Framings/KioskBus.NotesAndCoinsAreCreditedThroughBusyAndASlowReset/configured  # GetParam() = configured"
  "10 ScriptedHost.EveryAnswerTakenIsTheOneGivenToThatCommand"
  "9 ServiceTest.AJournalDeletedOrReplacedIsNeverTakenForTheOneLastWritten"
  "8 ServiceTest.ANoteTheValidatorResetOverIsPublishedInDoubtUntilSettled"
  "8 Framings/KioskBus.NotesAndCoinsAreCreditedThroughBusyAndASlowReset/busFramingAndLines  # GetParam() = busFramingAndLines"
  "7 WindowOnScreen.FitsCentresAndGivesTheRoomToThePanes"
  "7 SettingsFileUnderKill.EveryKillLeavesOneWholeVersion"
  "7 ServiceTest.AJournalThatCannotBeWrittenStopsAcceptance"
  "7 ScriptedBench.AddressClashShowsTwoDevicesOnOneAddress"
  "6 ServiceTest.WithoutTheBrokerNothingIsTakenWhenAskedSo"
)
  string(REGEX MATCH "^([0-9]+) (.+)$" parsed "${entry}")
  set_tests_properties("${CMAKE_MATCH_2}" PROPERTIES COST ${CMAKE_MATCH_1})
endforeach()
