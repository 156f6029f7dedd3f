import { useQuery } from "@tanstack/react-query";
import { useState } from "react";
import { whereUsed } from "../api/browse";
import { keys } from "../api/queries";
import type { TreeNode, Visibility } from "../api/types";
import { ErrorNotice } from "../components/ErrorNotice";
import type { NodeDraft } from "./drafts";
import { LinkPickerDialog } from "./LinkPickerDialog";
import { parseList } from "./lists";
import { nodeLabel, TYPE_NAMES, type NodePlace } from "./treeModel";
import { VisibilityChecks } from "./VisibilityChecks";

export function draftOf(node: TreeNode): NodeDraft {
  return {
    short: node.short,
    long: node.long,
    visibilities: node.visibilities,
    faqs: parseList(node.faqs),
    hyperlink: node.hyperlink,
    propagateContent: false,
    propagateDown: false,
  };
}

const sameList = (a: readonly string[], b: readonly string[]) => a.length === b.length && a.every((x, i) => x === b[i]);

/** True when the draft would change the node (the two propagation choices alone change nothing). */
export function draftDiffers(node: TreeNode, d: NodeDraft): boolean {
  const base = draftOf(node);
  return (
    d.short !== base.short ||
    d.long !== base.long ||
    !sameList(d.visibilities, base.visibilities) ||
    !sameList(d.faqs, base.faqs) ||
    d.hyperlink !== base.hyperlink
  );
}

/** The number of distinct trees (published or working copy) that show an entity. */
export function countTrees(items: Array<{ treeType: number; id: number }>): number {
  return new Set(items.map((i) => `${i.treeType}:${i.id}`)).size;
}

interface Props {
  node: TreeNode;
  draft: NodeDraft | undefined;
  onDraft(draft: NodeDraft | null): void;
  onSave(draft: NodeDraft): Promise<unknown>;
  editable: boolean;
  canSeeUsage: boolean;
  catalog: Visibility[];
  allowed: string[];
  /** True when the node above narrows the audiences offered. */
  restricted?: boolean;
  places: Map<number, NodePlace>;
  onShowNode(nodeId: number): void;
}

/** The selected node's texts, audiences, FAQs and link; kept as a draft until saved. */
export function NodeForm({ node, draft, onDraft, onSave, editable, canSeeUsage, catalog, allowed, restricted, places, onShowNode }: Props) {
  const value = draft ?? draftOf(node);
  const [error, setError] = useState<unknown>(null);
  const [saving, setSaving] = useState(false);
  const [picking, setPicking] = useState(false);
  const [newFaq, setNewFaq] = useState("");
  const dirty = draft !== undefined && draftDiffers(node, draft);
  const textsChanged = value.short !== node.short || value.long !== node.long;
  const usage = useQuery({
    queryKey: keys.whereUsed(node.type, node.repId),
    queryFn: () => whereUsed(node.type, node.repId),
    enabled: canSeeUsage && node.repId > 0,
  });
  const trees = usage.data ? countTrees(usage.data.items) : null;
  const idp = `node-${node.id}`;

  const change = (patch: Partial<NodeDraft>) => {
    const next = { ...value, ...patch };
    onDraft(draftDiffers(node, next) || next.propagateContent || next.propagateDown ? next : null);
  };

  async function save() {
    setSaving(true);
    setError(null);
    try {
      await onSave(value);
    } catch (e) {
      setError(e);
    } finally {
      setSaving(false);
    }
  }

  const faqAddable = !!newFaq.trim() && !newFaq.includes(";") && !value.faqs.includes(newFaq.trim());
  const addFaq = () => {
    change({ faqs: [...value.faqs, newFaq.trim()] });
    setNewFaq("");
  };

  const linkTarget = value.hyperlink >= 0 ? places.get(value.hyperlink)?.node : undefined;

  return (
    <form
      className="form-grid"
      aria-label={`${TYPE_NAMES[node.type]} details`}
      onSubmit={(e) => {
        e.preventDefault();
        if (editable && dirty) void save();
      }}
    >
      <label htmlFor={`${idp}-short`}>Short text</label>
      <input
        id={`${idp}-short`}
        value={value.short}
        readOnly={!editable}
        required
        onChange={(e) => change({ short: e.target.value })}
      />
      <label htmlFor={`${idp}-long`}>Long text</label>
      <textarea id={`${idp}-long`} value={value.long} readOnly={!editable} rows={5} onChange={(e) => change({ long: e.target.value })} />

      {node.repId > 0 && editable ? (
        <div className="checks">
          <label htmlFor={`${idp}-propagate`}>
            <input
              id={`${idp}-propagate`}
              type="checkbox"
              checked={value.propagateContent}
              onChange={(e) => change({ propagateContent: e.target.checked })}
              aria-describedby={`${idp}-usage`}
            />
            Use these texts everywhere this text appears
          </label>
        </div>
      ) : null}
      {node.repId > 0 && canSeeUsage ? (
        <p id={`${idp}-usage`} className="hint">
          {trees === null
            ? "Counting the trees that show this text…"
            : trees <= 1
              ? "Only this tree shows this text."
              : `This text appears in ${trees} trees.`}{" "}
          {editable && textsChanged
            ? value.propagateContent
              ? "Saving changes it in all of them."
              : "Saving gives this node its own copy of the text; the others keep theirs."
            : null}
        </p>
      ) : null}

      <VisibilityChecks
        legend="Visible to"
        catalog={catalog}
        allowed={allowed}
        value={value.visibilities}
        onChange={(visibilities) => change({ visibilities })}
        disabled={!editable}
        idPrefix={`${idp}-vis`}
        hint={editable && restricted ? "Only the audiences of the node above are offered." : undefined}
      />
      {editable ? (
        <div className="checks">
          <label htmlFor={`${idp}-down`}>
            <input
              id={`${idp}-down`}
              type="checkbox"
              checked={value.propagateDown}
              onChange={(e) => change({ propagateDown: e.target.checked })}
            />
            Carry visibility changes down
          </label>
          <span className="hint">
            (added audiences go to every node below too; removed ones always leave the nodes below)
          </span>
        </div>
      ) : null}

      <fieldset>
        <legend>FAQs</legend>
        {value.faqs.length === 0 ? <p className="muted">No FAQs.</p> : null}
        <ul>
          {value.faqs.map((f) => (
            <li key={f} className="row">
              <span>{f}</span>
              {editable ? (
                <button type="button" aria-label={`Remove FAQ ${f}`} onClick={() => change({ faqs: value.faqs.filter((x) => x !== f) })}>
                  Remove
                </button>
              ) : null}
            </li>
          ))}
        </ul>
        {editable ? (
          <div className="row">
            <label htmlFor={`${idp}-faq`}>New FAQ</label>
            <input
              id={`${idp}-faq`}
              value={newFaq}
              onChange={(e) => setNewFaq(e.target.value)}
              onKeyDown={(e) => {
                // Enter adds the entry here rather than saving the node.
                if (e.key === "Enter") {
                  e.preventDefault();
                  if (faqAddable) addFaq();
                }
              }}
            />
            <button type="button" disabled={!faqAddable} onClick={addFaq}>
              Add FAQ
            </button>
            {newFaq.includes(";") ? <span className="field-error">An FAQ entry cannot contain “;”.</span> : null}
          </div>
        ) : null}
      </fieldset>

      <fieldset>
        <legend>Link</legend>
        <p>
          {value.hyperlink < 0 ? (
            "This node links to no other node."
          ) : linkTarget ? (
            <>
              Links to{" "}
              <button type="button" className="link-button" onClick={() => onShowNode(linkTarget.id)}>
                {nodeLabel(linkTarget)}
              </button>
            </>
          ) : (
            `Links to node ${value.hyperlink}, which is no longer in the tree.`
          )}
        </p>
        {editable ? (
          <div className="row">
            <button type="button" onClick={() => setPicking(true)}>
              Choose linked node
            </button>
            {value.hyperlink >= 0 ? (
              <button type="button" onClick={() => change({ hyperlink: -1 })}>
                Remove link
              </button>
            ) : null}
          </div>
        ) : null}
      </fieldset>

      <ErrorNotice error={error} title="Not saved." />
      {editable ? (
        <div className="row">
          <button type="submit" className="primary" disabled={!dirty || saving || !value.short.trim()}>
            Save
          </button>
          <button type="button" disabled={!draft || saving} onClick={() => onDraft(null)}>
            Discard changes
          </button>
          {dirty ? <span className="hint">Unsaved changes.</span> : null}
        </div>
      ) : draft ? (
        <div className="row">
          <span className="hint">
            You have kept changes to this node that were never saved. Check the tree out to save them, or discard them.
          </span>
          <button type="button" onClick={() => onDraft(null)}>
            Discard changes
          </button>
        </div>
      ) : null}
      {picking ? (
        <LinkPickerDialog
          places={places}
          self={node.id}
          onPick={(id) => {
            change({ hyperlink: id });
            setPicking(false);
          }}
          onClose={() => setPicking(false)}
        />
      ) : null}
    </form>
  );
}
