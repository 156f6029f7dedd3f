import { useQuery } from "@tanstack/react-query";
import { validate, type TreeRef } from "../api/edit";
import { ErrorNotice } from "../components/ErrorNotice";
import { Modal } from "../components/Modal";
import { FindingsList, findingsOf } from "./FindingsList";

/** The checks a publisher's publish runs, for anyone about to ask for it. */
export function CheckDialog({ tree, treeName, onShowNode, onClose }: { tree: TreeRef; treeName: string; onShowNode(id: number): void; onClose(): void }) {
  const check = useQuery({ queryKey: ["validate", tree.treeType, tree.id], queryFn: () => validate(tree), staleTime: 0, gcTime: 0 });
  const findings = findingsOf(check.data);
  return (
    <Modal title={`Check ${treeName}`} onClose={onClose}>
      {check.isPending ? <p role="status">Checking the tree…</p> : null}
      <ErrorNotice error={check.error} />
      {check.data && findings.length === 0 ? <p>The check found nothing to fix.</p> : null}
      {findings.some((f) => f.severity === "error") ? (
        <p>Errors stop publishing unless a publisher chooses to publish anyway.</p>
      ) : null}
      <FindingsList
        findings={findings}
        onShowNode={(id) => {
          onShowNode(id);
          onClose();
        }}
      />
      <div className="dialog-actions">
        <button type="button" onClick={onClose}>
          Close
        </button>
      </div>
    </Modal>
  );
}
